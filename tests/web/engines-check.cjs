// Stops the browser tests with one clear line when this Node.js is older than what the
// locked packages (package-lock.json) declare they need. Only lower bounds (">=X.Y.Z",
// ">= X", "^X") are read; they are all the locked packages declare.
'use strict';
const fs = require('fs');
const path = require('path');

const lock = JSON.parse(fs.readFileSync(path.join(__dirname, 'package-lock.json'), 'utf8'));
const have = process.versions.node.split('.').map(Number);
const older = (want) => {
  for (let i = 0; i < 3; i++) {
    if ((have[i] || 0) !== (want[i] || 0)) return (have[i] || 0) < (want[i] || 0);
  }
  return false;
};

const missing = [];
for (const [where, entry] of Object.entries(lock.packages || {})) {
  const range = entry.engines && entry.engines.node;
  if (typeof range !== 'string') continue;
  // Every alternative of "a || b" must be too new for this Node.js to be refused.
  const alternatives = range.split('||').map((a) => a.trim());
  const bounds = alternatives.map((a) => {
    const m = /^(?:>=|\^)\s*v?(\d+)(?:\.(\d+))?(?:\.(\d+))?$/.exec(a);
    return m ? [Number(m[1]), Number(m[2] || 0), Number(m[3] || 0)] : null;
  });
  if (bounds.every((b) => b && older(b))) missing.push(`${where || 'package.json'} (${range})`);
}
if (missing.length > 0) {
  console.error(`browser tests: Node.js ${process.versions.node} is too old for ${missing.join(', ')}`);
  process.exit(1);
}
