// Talks to our WebSocket echo route with node-ws: text, binary, a large
// message, ping and close. Prints one line per step; exits non-zero on a fault.
const WebSocket = require('ws');

const ws = new WebSocket(process.argv[2]);
const next = (event) => new Promise((resolve) => ws.once(event, (...args) => resolve(args)));
const fail = (why) => { console.log(why); process.exit(1); };
setTimeout(() => fail('no answer'), 20000).unref();
ws.on('error', (error) => fail('error ' + error.message));
ws.on('open', async () => {
  for (const [name, message, binary] of [['text', 'Bonjour élève 😀', false],
    ['binary', Buffer.from([0, 1, 2, 255, 0]), true], ['large', 'é'.repeat(70000), false]]) {
    ws.send(message);
    const [data, isBinary] = await next('message');
    if (isBinary !== binary || Buffer.compare(data, Buffer.from(message)) !== 0) fail(name + ' failed');
    console.log(name + ' ok');
  }
  ws.ping('p');
  const [data] = await next('pong');
  console.log(data.toString() === 'p' ? 'pong ok' : 'pong failed');
  ws.close(1000, 'fin');
  console.log('close ' + (await next('close'))[0]);
});
