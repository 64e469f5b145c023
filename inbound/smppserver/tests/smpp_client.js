// A client application binding to the gateway's SMPP server, on the npm "smpp" package.
// argv[2]: JSON {port, tls, bind, system_id, password, submits: [pdu fields], expectDeliveries,
// dataSm: fields of one data_sm after the submits, answer: command_status for deliver_sm, answerDelay: ms before each answer, silent: never
// answer, drop: cut the link after the expected deliveries, hold: ms to stay bound, timeout: ms}.
// Prints one line per event: BIND_RESP status, SUBMIT_RESP status id, DELIVER json, CLOSED.
const smpp = require('smpp');
const plan = JSON.parse(process.argv[2] || '{}');

const url = (plan.tls ? 'ssmpp://' : 'smpp://') + '127.0.0.1:' + plan.port;
const session = smpp.connect({ url, rejectUnauthorized: false });
let deliveries = 0, inflight = 0, maxInflight = 0;
session.on('error', (e) => { console.log('ERROR ' + e.message); });
session.on('close', () => { console.log('CLOSED'); process.exit(0); });
session.on('deliver_sm', (pdu) => {
  const sm = pdu.short_message || {};
  const text = typeof sm.message === 'string' ? sm.message : (sm.message ? sm.message.toString('hex') : '');
  console.log('DELIVER ' + JSON.stringify({ source_addr: pdu.source_addr, destination_addr: pdu.destination_addr,
                                             esm_class: pdu.esm_class, text,
                                             receipted_message_id: pdu.receipted_message_id,
                                             message_state: pdu.message_state }));
  inflight += 1;
  maxInflight = Math.max(maxInflight, inflight);
  const respond = () => { inflight -= 1; session.send(pdu.response({ command_status: plan.answer || 0 })); };
  if (plan.silent) {
    // never answered
  } else if (plan.answerDelay) {
    setTimeout(respond, plan.answerDelay);
  } else {
    respond();
  }
  deliveries += 1;
  if (deliveries === (plan.expectDeliveries || 0)) finish();
});
session.on('enquire_link', (pdu) => session.send(pdu.response()));

function finish() {
  console.log('MAX_INFLIGHT ' + maxInflight);
  if (plan.drop) { session.socket.destroy(); return; }
  setTimeout(() => session.unbind(() => session.close()), plan.hold || 0);
}

function submitAll(i) {
  const submits = plan.submits || [];
  if (i >= submits.length) {
    if (plan.dataSm) {
      const fields = plan.dataSm;
      plan.dataSm = null;
      session.data_sm(fields, (r) => {
        console.log('DATA_SM_RESP ' + r.command_status + ' ' + (r.message_id || ''));
        submitAll(i);
      });
      return;
    }
    if (!plan.expectDeliveries && !plan.stay) finish();
    return;
  }
  const fields = Object.assign({}, submits[i]);
  if (fields.hex !== undefined) {
    // Binary content, with its header when given (udh: hex of the whole header).
    const udh = fields.udh ? Buffer.from(fields.udh, 'hex') : null;
    fields.short_message = udh ? { udh, message: Buffer.from(fields.hex, 'hex') } : Buffer.from(fields.hex, 'hex');
    if (udh) fields.esm_class = (fields.esm_class || 0) | 0x40;
    if (fields.data_coding === undefined) fields.data_coding = 4;
    delete fields.hex; delete fields.udh;
  }
  session.submit_sm(fields, (r) => {
    console.log('SUBMIT_RESP ' + r.command_status + ' ' + (r.message_id || ''));
    submitAll(i + 1);
  });
}

session.on(plan.tls ? 'secureConnect' : 'connect', () => {
  const bind = plan.bind || 'bind_transceiver';
  session[bind]({ system_id: plan.system_id, password: plan.password, interface_version: plan.version || 0x34 }, (r) => {
    console.log('BIND_RESP ' + r.command_status);
    if (r.command_status !== 0) return;
    submitAll(0);
  });
});
setTimeout(() => { console.log('TIMEOUT'); process.exit(1); }, plan.timeout || 20000);
