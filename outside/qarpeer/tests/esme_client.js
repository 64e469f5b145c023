// An SMPP client for the tests of qarpeer's server role, built on the npm "smpp" package.
// argv[2]: port; argv[3]: JSON {bind: "bind_transceiver", system_id, password, submits: [..],
// expectDeliveries: n, enquire: bool, unbind: bool, windowed: bool (every submit at once, not
// each after the last one's answer)}. Prints what it sees, one line each.
const smpp = require('smpp');
const port = Number(process.argv[2]);
const plan = JSON.parse(process.argv[3] || '{}');

const session = smpp.connect({ host: '127.0.0.1', port });
let deliveries = 0;
session.on('error', (e) => { console.log('ERROR ' + e.message); process.exit(0); });
session.on('close', () => { console.log('CLOSED'); process.exit(0); });
session.on('deliver_sm', (pdu) => {
  const sm = pdu.short_message || {};
  const text = typeof sm.message === 'string' ? sm.message : (sm.message ? sm.message.toString('hex') : '');
  console.log('DELIVER ' + JSON.stringify({ source_addr: pdu.source_addr, destination_addr: pdu.destination_addr,
                                             esm_class: pdu.esm_class, data_coding: pdu.data_coding, text,
                                             receipted_message_id: pdu.receipted_message_id,
                                             message_state: pdu.message_state }));
  session.send(pdu.response());
  deliveries += 1;
  if (deliveries === (plan.expectDeliveries || 0)) finish();
});
session.on('enquire_link', (pdu) => { console.log('ENQUIRE'); session.send(pdu.response()); });

function finish() {
  const end = () => {
    if (plan.unbind) session.unbind((r) => { console.log('UNBIND_RESP ' + r.command_status); session.close(); });
    else session.close();
  };
  if (plan.enquire) session.enquire_link((r) => { console.log('ENQUIRE_RESP ' + r.command_status); end(); });
  else end();
}

function submitWindow() {
  const submits = plan.submits || [];
  let answered = 0;
  for (const submit of submits) {
    session.submit_sm(submit, (r) => {
      console.log('SUBMIT_RESP ' + r.command_status + ' ' + (r.message_id || ''));
      answered += 1;
      if (answered === submits.length && !plan.expectDeliveries) finish();
    });
  }
}

function submitAll(i) {
  if (plan.windowed) { submitWindow(); return; }
  const submits = plan.submits || [];
  if (i >= submits.length) {
    if (!plan.expectDeliveries) finish();
    return;
  }
  session.submit_sm(submits[i], (r) => {
    console.log('SUBMIT_RESP ' + r.command_status + ' ' + (r.message_id || ''));
    submitAll(i + 1);
  });
}

session.on('connect', () => {
  if (plan.closeAtOnce) { session.close(); return; }
  const bind = plan.bind || 'bind_transceiver';
  session[bind]({ system_id: plan.system_id || 'client', password: plan.password || 'secret' }, (r) => {
    console.log('BIND_RESP ' + r.command_status + ' ' + (r.system_id || ''));
    if (r.command_status !== 0) { session.close(); return; }
    submitAll(0);
  });
});
setTimeout(() => { console.log('TIMEOUT'); process.exit(1); }, 20000);
