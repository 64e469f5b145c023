// The account pages of the administration site: the list of accounts and the form that
// adds, changes or deletes one (through the same checks as provisioning).
#pragma once

#include "web/web_connection.h"

// USERS.HTM (smsPage false) or SMSUSERS.HTM; a POST with SaveUser/SaveSMSUser or
// ConfirmDeleteSMSUser/ConfirmDeleteUser changes an account first.
void SendAccountPage(WebConnection& c, const WebRequest& request, bool smsPage);
