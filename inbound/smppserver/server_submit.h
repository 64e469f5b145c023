// Messages submitted by a bound client (submit_sm, data_sm) become queue files through the
// submission core, with the same quota, pre-authorisation, credit and writing as HTTP.
#pragma once

#include <functional>
#include <string>

#include "outside/qarpeer/qarpeer.h"

// The bound client of the session thread that the library calls back on.
struct SubmittingClient {
  std::string user;
  std::string address;        // the client's address (SubmittedBy)
  std::string forcedSender;   // the account's allowed senders
};

// Set by a session thread for its life; the library calls the callback only from inside a
// call the session thread made.
void SetSubmittingClient(const SubmittingClient* client);
// Set by a session thread while the library holds its answers: run before a submission waits
// for the account's pace, so that those already accepted are answered first, not after the
// whole window's pacing.
void SetAnswerHeld(const std::function<void()>* answer);

// The library's callback: 0 with the first file's id in messageId, or the SMPP status.
int SMPPServerReceiveMessageCallback(const char* connectionName, const SMPPReceivedMessage* message, char* messageId,
                                     int messageIdSize);
