// The failure report of an outbound message that was given up: a ".rec" file in the
// inbound directory that the receipt workers deliver to the submitting user.
#pragma once

#include <ctime>
#include <string>
#include <string_view>

#include "store/message_file.h"

// The file's text (pure, for tests): "[SMS-IN]", ModemName, RouteToLocalUser, Sender (the
// original recipient), PhoneNumber (the original sender), the receipt text in Data,
// Binary=0, ReceiptFailed=Yes, ReceiptMessageId.
std::string FailureReportText(const SmsMessageRecord& m, std::string_view messageId, int status,
                              std::string_view connection, time_t queuedAt, time_t now);
// Writes the report, logs it in the inbound log, sends the "SMSIN" notice (with
// AccountingExtended) and wakes the receipt workers. False when it could not be written.
bool WriteFailureReport(const SmsMessageRecord& m, std::string_view messageId, int status,
                        std::string_view connection, time_t queuedAt);
// The queue pass's hook.
void FailureReceiptHookFunction(const SmsMessageRecord& m, std::string_view messageId, int status,
                                std::string_view connection, time_t queuedAt);
