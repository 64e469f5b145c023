// The HTTP submission of MMS: a request with MMSText, MMSImageFile, MMSFile or MMSFile[] is
// read into an MMS submission and answered with the MMS service's message id or an error.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "web/web_connection.h"

bool IsMmsSubmission(std::string_view specialContent);
// recipients as the SMS submission read them; continueUrl for the answer page.
void HandleMmsSubmission(WebConnection& c, const WebRequest& request, const std::vector<std::string>& recipients,
                         const std::string& charset, const std::string& continueUrl);
