// Talks to our WebSocket echo route with node-ws: text, binary, a large
// message, ping and close. Prints one line per step; exits non-zero on a fault.
const WebSocket = require('ws');

const ws = new WebSocket(process.argv[2]);
const next = (event) => new Promise((resolve) => ws.once(event, (...args) => resolve(args)));
const check = (ok, name) => {
  if (!ok) { console.log(name + ' failed'); process.exit(1); }
  console.log(name + ' ok');
};
setTimeout(() => { console.log('no answer'); process.exit(1); }, 20000).unref();
ws.on('error', (error) => { console.log('error ' + error.message); process.exit(1); });

ws.on('open', async () => {
  ws.send('Bonjour élève 😀');
  let [data, isBinary] = await next('message');
  check(!isBinary && data.toString() === 'Bonjour élève 😀', 'text');
  const bytes = Buffer.from([0, 1, 2, 255, 0]);
  ws.send(bytes);
  [data, isBinary] = await next('message');
  check(isBinary && Buffer.compare(data, bytes) === 0, 'binary');
  const large = 'é'.repeat(70000);
  ws.send(large);
  [data, isBinary] = await next('message');
  check(!isBinary && data.toString() === large, 'large');
  ws.ping('p');
  [data] = await next('pong');
  check(data.toString() === 'p', 'pong');
  ws.close(1000, 'fin');
  const [code] = await next('close');
  console.log('close ' + code);
});
