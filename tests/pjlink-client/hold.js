// Holds one PJLink connection, as a room controller does between its requests: asks NAME ?
// at once and again for each line read from standard input, one JSON line an answer, telling
// whether the connection is still the first one.
// Usage: node hold.js PORT [PASSWORD]
'use strict';
const readline = require('readline');
const PJLink = require('pjlink');

const port = Number(process.argv[2]);
const password = process.argv[3];
const beamer = new PJLink({host: '127.0.0.1', port: port, password: password || null});

let first = null;
let closed = false;

function ask() {
  beamer.getName((err, name) => {
    // The package reconnects by itself when the server closed: the socket tells.
    const socket = beamer._connection;
    if (first === null && socket) {
      first = socket;
      socket.on('close', () => { closed = true; });
    }
    console.log(JSON.stringify({name: err ? null : name,
                                error: err ? String(err.message || err) : null,
                                sameConnection: socket === first && !closed}));
  });
}

ask();
readline.createInterface({input: process.stdin})
    .on('line', ask)
    .on('close', () => beamer.disconnect());
