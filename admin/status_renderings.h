// The four views of the gathered figures.
#pragma once

#include <string>

#include "admin/page_templates.h"
#include "admin/status_figures.h"

// The XML status document (element lines ended by CR LF).
std::string StatusXml(const GatewayStatus& s);
// The same content as JSON.
std::string StatusJson(const GatewayStatus& s);
// The text exposition format of the monitoring system.
std::string StatusMetrics(const GatewayStatus& s);
// The tokens and lists of the status page.
PageValues StatusPageValues(const GatewayStatus& s);
