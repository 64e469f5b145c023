// MMS subscribers provisioned over HTTP, kept in the ledger library's subscriber store.
#pragma once

#include <string>
#include <string_view>

#include "admin/provisioning.h"

// The message folder of a subscriber under usersRoot: the first six characters of the
// number, the next three, then the whole number, each level padded with "X" to its width.
std::string SubscriberFolder(const std::string& usersRoot, std::string_view number);

// "Add", "Modify" or "Delete" of the subscriber PhoneNumber. requestPassword is the
// caller's administrator password, which AdminPasswordModify/AdminPasswordDelete, when
// set, must match (otherwise result.unauthorizedRealm is set).
ProvisionResult ProvisionMmsSubscriber(std::string_view action, const ParameterLookup& parameter,
                                       std::string_view requestPassword);
