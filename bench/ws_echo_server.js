// node-ws's echo server on loopback, for comparison with ours: prints
// "listening on PORT", then echoes every message as it came (text or binary).
const { WebSocketServer } = require('ws');

const server = new WebSocketServer({ host: '127.0.0.1', port: 0 });
server.on('connection', (ws) => {
  ws.on('message', (data, isBinary) => ws.send(data, { binary: isBinary }));
});
server.on('listening', () => console.log('listening on ' + server.address().port));
process.on('SIGTERM', () => process.exit(0));
