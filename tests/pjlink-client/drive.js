// Drives one PJLink projector with the npm package `pjlink`, as a room controller would:
// power on, select Video, mute picture and sound, read everything back, one JSON line a step.
// Usage: node drive.js PORT [PASSWORD]
'use strict';
const PJLink = require('pjlink');

const port = Number(process.argv[2]);
const password = process.argv[3];
const beamer = new PJLink({host: '127.0.0.1', port: port, password: password || null});

const steps = [
  ['powerOn', (cb) => beamer.powerOn(cb)],
  ['getPowerState', (cb) => beamer.getPowerState(cb)],
  ['setInput', (cb) => beamer.setInput('21', cb)],
  ['getInput', (cb) => beamer.getInput(cb)],
  ['setMute', (cb) => beamer.setMute({video: true, audio: true}, cb)],
  ['getMute', (cb) => beamer.getMute(cb)],
  ['getLamps', (cb) => beamer.getLamps(cb)],
  ['getErrors', (cb) => beamer.getErrors(cb)],
  ['getName', (cb) => beamer.getName(cb)],
  ['getManufacturer', (cb) => beamer.getManufacturer(cb)],
  ['getModel', (cb) => beamer.getModel(cb)],
  ['getClass', (cb) => beamer.getClass(cb)],
];

function run(i) {
  if (i === steps.length) {
    beamer.disconnect();
    return;
  }
  const [name, call] = steps[i];
  call((err, result) => {
    console.log(JSON.stringify({step: name, error: err ? String(err.message || err) : null,
                                result: result === undefined ? null : result}));
    run(i + 1);
  });
}
run(0);
