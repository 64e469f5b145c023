#include "inbound/modem_inbound.h"

#include "accounting/accounting.h"
#include "config/settings.h"
#include "inbound/inbound_receive.h"
#include "runtime/debug_log.h"
#include "runtime/str_printf.h"
#include "runtime/names.h"
#include "store/message_logs.h"

bool ReceiveModemMessage(const ModemReceived& in) {
  ReceivedSms r;
  SmsMessageRecord& m = r.message;
  m.ModemName = in.connection;
  m.Sender = in.sender;
  m.PhoneNumber = in.recipient;
  m.UDH = in.udh;
  m.Data = in.data;
  m.Pid = in.pid;
  m.Dcs = in.dcs;
  m.Binary = in.binary;
  m.MessageFlags = in.flags;
  m.ReceiptMessageId = in.receiptMessageId;
  r.extraParams = in.extraParams;
  WriteDebugLog("ModemReceiveMessages",
                StripControlBytes(StrPrintf("inbound message:  sender=%s, recip=%s, pid=%X, dcs=%X, msgFlags=%X, udh=%s, msg=%s",
                                            m.Sender.c_str(), m.PhoneNumber.c_str(), m.Pid, m.Dcs, m.MessageFlags,
                                            m.UDH.c_str(), m.Data.c_str())));
  InboundStore stored = ProcessInboundSMS(r);
  if (stored == InboundStore::Failed) return false;
  LogInbound(m.Sender, m.ModemName, m.PhoneNumber, LogContentOf(m), m.ReceiptMessageId, "");
  if (Settings.AccountingExtended) {
    AccountingMessage a{"SMSIN", m};
    AccountingNoticeFields fields;
    fields.recipient = m.PhoneNumber;
    fields.smscReceiptMessageId = m.ReceiptMessageId;
    fields.smscName = m.ModemName;
    AccountingNotice(a, fields, nullptr);
  }
  return true;
}
