#pragma once

inline constexpr const char* kProductBanner = "Qar SMS/MMS Gateway v2011.01.14";
