// Push Access Protocol requests on "/PAP" and "/PPG".
#pragma once

#include "web/web_connection.h"

bool HandlePushAccess(WebConnection& c, WebRequest& request);
