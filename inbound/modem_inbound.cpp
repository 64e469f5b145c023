#include "inbound/modem_inbound.h"

#include "inbound/inbound_receive.h"

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
  r.awaited = !in.unacknowledged;
  return StoreReceivedMessage("ModemReceiveMessages", r);
}
