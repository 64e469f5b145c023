// An SMS centre for the qarpeer tests, built on the npm "smpp" package.
// argv[2]: JSON options {bindStatus, submitStatuses: [..], delayMs, systemId, holdCount,
// holdMs, dropAfter, host (listen address, 127.0.0.1 unless given), stamps (a line
// "SUBMIT_AT <ms>" for each submit_sm), keepOpenOnUnbind (the socket stays open after
// an unbind is answered), deliverWithBind (a deliver_sm's fields, sent in the same write as
// the answer to a bind_receiver)}: holdCount holds submit responses until that many wait (or holdMs
// passed) and sends them newest first; dropAfter drops the link, unanswered, at that submit.
// Prints "LISTENING <port>", then for every PDU received "RAW <hex>" (the bytes as they
// came) and "PDU <command> <status> <sequence> <json of the decoded fields>".
// Reads commands from stdin: "deliver <json>" (a data_sm with "command":"data_sm"),
// "delivermany <count> <json>" (short_message gets the number 0.. appended), "enquire",
// "unbind", "raw <hex>", "nack <seq>", "halfclose" (FIN only), "close". nackStatus is the
// status of the generic_nack that nackSubmit answers with (3 unless given).
// Messages go to the newest session bound as receiver or transceiver, else the newest one.
// Each deliver_sm answered prints "DELIVER_RESP <status>" (with " <short_message>" after
// delivermany).
const net = require('net');
const tls = require('tls');
const fs = require('fs');
const { Duplex } = require('stream');
const readline = require('readline');
const smpp = require('smpp');

const options = JSON.parse(process.argv[2] || '{}');
const submitStatuses = options.submitStatuses || [];
let messageCounter = 0;
let current = null;
let currentSocket = null;
// Messages go to the newest session bound to receive, else to the newest session.
let receiving = null;
let submitsSeen = 0;
let held = [];
let holdTimer = null;

function releaseHeld() {
  if (holdTimer) { clearTimeout(holdTimer); holdTimer = null; }
  const batch = held.reverse();
  held = [];
  for (const f of batch) f();
}

function fields(pdu) {
  const out = {};
  for (const key of Object.keys(pdu)) {
    const v = pdu[key];
    if (Buffer.isBuffer(v)) out[key] = v.toString('hex').toUpperCase();
    else if (v && typeof v === 'object' && !Array.isArray(v)) {
      const o = {};
      for (const k of Object.keys(v)) o[k] = Buffer.isBuffer(v[k]) ? v[k].toString('hex').toUpperCase() : v[k];
      out[key] = o;
    } else out[key] = v;
  }
  return out;
}

function tap(socket) {
  let pending = Buffer.alloc(0);
  const d = new Duplex({
    read() {},
    write(chunk, enc, cb) { socket.write(chunk, cb); },
    final(cb) { socket.end(); cb(); },
  });
  socket.on('data', (chunk) => {
    pending = Buffer.concat([pending, chunk]);
    while (pending.length >= 4) {
      const length = pending.readUInt32BE(0);
      if (length < 16 || pending.length < length) break;
      console.log('RAW ' + pending.slice(0, length).toString('hex').toUpperCase());
      pending = pending.slice(length);
    }
    d.push(chunk);
  });
  // keepOpenOnUnbind: the peer's FIN is not answered with ours either.
  socket.on('end', () => { if (!options.keepOpenOnUnbind) d.push(null); });
  socket.on('close', () => { console.log('CLOSED'); d.destroy(); });
  socket.on('error', () => {});
  d.writable = true;
  return d;
}

function later(fn) {
  if (options.delayMs) setTimeout(fn, options.delayMs); else fn();
}

function onConnection(socket) {
  currentSocket = socket;
  const session = new smpp.Session({ socket: tap(socket) });
  current = session;
  socket.on('close', () => { if (receiving === session) receiving = null; });
  session.on('error', (e) => console.log('ERROR ' + e.message));
  session.on('pdu', (pdu) => {
    console.log('PDU ' + pdu.command + ' ' + pdu.command_status + ' ' + pdu.sequence_number + ' ' +
                JSON.stringify(fields(pdu)));
    if (pdu.command === 'bind_receiver' || pdu.command === 'bind_transceiver') receiving = session;
    if (options.deliverWithBind && pdu.command === 'bind_receiver') {
      // The answer and a message in one write, so that they arrive in one read.
      const answer = pdu.response({ command_status: 0, system_id: options.systemId || 'NODESMSC' });
      const message = new smpp.PDU('deliver_sm', Object.assign({ sequence_number: 0x7F000001 }, options.deliverWithBind));
      socket.write(Buffer.concat([answer.toBuffer(), message.toBuffer()]));
    } else if (pdu.command.startsWith('bind_') && !pdu.command.endsWith('_resp')) {
      later(() => session.send(pdu.response({ command_status: options.bindStatus || 0,
                                              system_id: options.systemId || 'NODESMSC' })));
    } else if (pdu.command === 'submit_sm' && options.nackSubmit) {
      session.send(new smpp.PDU('generic_nack', { sequence_number: pdu.sequence_number,
                                                  command_status: options.nackStatus === undefined ? 3 : options.nackStatus }));
    } else if (pdu.command === 'submit_sm') {
      submitsSeen += 1;
      if (options.stamps) console.log('SUBMIT_AT ' + Date.now());
      if (options.dropAfter && submitsSeen === options.dropAfter) {
        console.log('DROPPED');
        held = [];
        socket.destroy();
        return;
      }
      const status = submitStatuses.length ? submitStatuses.shift() : 0;
      messageCounter += 1;
      const id = 'MSG' + messageCounter;
      const text = pdu.short_message && pdu.short_message.message !== undefined ? pdu.short_message.message : '';
      const respond = () => {
        console.log('RESP ' + pdu.sequence_number + ' ' + status + ' ' + text);
        session.send(pdu.response({ command_status: status, message_id: id }));
      };
      if (options.holdCount) {
        held.push(respond);
        if (held.length >= options.holdCount) releaseHeld();
        else if (!holdTimer) holdTimer = setTimeout(releaseHeld, options.holdMs || 200);
      } else {
        later(respond);
      }
    } else if (pdu.command === 'enquire_link') {
      session.send(pdu.response());
    } else if (pdu.command === 'unbind') {
      session.send(pdu.response(), () => { if (!options.keepOpenOnUnbind) socket.end(); });
    }
  });
}

const server = options.tlsKey
  ? tls.createServer({ key: fs.readFileSync(options.tlsKey), cert: fs.readFileSync(options.tlsCert) }, onConnection)
  : net.createServer({ allowHalfOpen: !!options.keepOpenOnUnbind }, onConnection);

server.listen(options.port || 0, options.host || '127.0.0.1', () => console.log('LISTENING ' + server.address().port));

readline.createInterface({ input: process.stdin }).on('line', (line) => {
  const space = line.indexOf(' ');
  const cmd = space < 0 ? line : line.slice(0, space);
  const arg = space < 0 ? '' : line.slice(space + 1);
  if (cmd === 'deliver' && current) {
    const target = receiving || current;
    const o = JSON.parse(arg);
    if (o.short_message_hex) { o.short_message = Buffer.from(o.short_message_hex, 'hex'); delete o.short_message_hex; }
    if (o.receipted_message_id === undefined) delete o.receipted_message_id;
    const command = o.command || 'deliver_sm';
    delete o.command;
    target.send(new smpp.PDU(command, o), (resp) => console.log('DELIVER_RESP ' + resp.command_status));
  } else if (cmd === 'delivermany' && current) {
    const target = receiving || current;
    const space2 = arg.indexOf(' ');
    const count = parseInt(arg.slice(0, space2), 10);
    const o = JSON.parse(arg.slice(space2 + 1));
    for (let i = 0; i < count; i++) {
      const text = (o.short_message || '') + i;
      target.send(new smpp.PDU('deliver_sm', Object.assign({}, o, { short_message: text })),
                   (resp) => console.log('DELIVER_RESP ' + resp.command_status + ' ' + text));
    }
  } else if (cmd === 'enquire' && current) {
    current.send(new smpp.PDU('enquire_link'), (resp) => console.log('ENQUIRE_RESP ' + resp.command_status));
  } else if (cmd === 'unbind' && current) {
    current.send(new smpp.PDU('unbind'), (resp) => console.log('UNBIND_RESP ' + resp.command_status));
  } else if (cmd === 'raw' && currentSocket) {
    currentSocket.write(Buffer.from(arg, 'hex'));
  } else if (cmd === 'rawclose' && currentSocket) {
    currentSocket.end(Buffer.from(arg, 'hex'));
  } else if (cmd === 'halfclose' && currentSocket) {
    currentSocket.end();
  } else if (cmd === 'close') {
    if (currentSocket) currentSocket.destroy();
    server.close();
    process.exit(0);
  }
});
process.stdin.on('end', () => process.exit(0));
