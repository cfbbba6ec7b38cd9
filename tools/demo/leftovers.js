'use strict';
// Temporary folders of the demo and of the daemons it starts carry an owner
// file: the id and start time of the process that made them.  A process that
// is killed outright (SIGKILL) cannot remove its folders, so the next start
// removes every folder whose owner is gone.  The start time tells a live
// owner from a new process that happens to have the same id.
const fs = require('fs');
const os = require('os');
const path = require('path');

const OWNER_FILE = 'owner';
const PREFIXES = ['zel-demo-', 'zel-queryd-'];

// The start time of process `pid` in clock ticks since boot, or null when no
// such process runs.
function processStart(pid) {
  try {
    const stat = fs.readFileSync(`/proc/${pid}/stat`, 'utf8');
    // Fields after the command name, which may hold blanks: state is field 3,
    // the start time field 22.
    return stat.slice(stat.lastIndexOf(')') + 2).split(' ')[19] ?? null;
  } catch {
    return null;
  }
}

// Makes a folder in the temporary directory, named PREFIX and six random
// characters, owned by this process.
function makeOwnedTempDir(prefix) {
  const dir = fs.mkdtempSync(path.join(os.tmpdir(), prefix));
  fs.writeFileSync(path.join(dir, OWNER_FILE), `${process.pid} ${processStart(process.pid)}\n`);
  return dir;
}

// True when the process that made `dir` still runs; a folder without an
// owner file counts as owned (it is not ours to judge).
function ownerAlive(dir) {
  let text;
  try {
    text = fs.readFileSync(path.join(dir, OWNER_FILE), 'utf8');
  } catch {
    return true;
  }
  const [pid, start] = text.trim().split(' ');
  return /^\d+$/.test(pid) && processStart(Number(pid)) === start;
}

// Removes the folders of owners that are gone; returns their paths.
function sweepLeftovers(base = os.tmpdir()) {
  const removed = [];
  let names = [];
  try {
    names = fs.readdirSync(base);
  } catch {
    return removed;
  }
  for (const name of names.filter((n) => PREFIXES.some((p) => n.startsWith(p)))) {
    const dir = path.join(base, name);
    if (ownerAlive(dir)) continue;
    try {
      fs.rmSync(dir, { recursive: true, force: true });
      removed.push(dir);
    } catch {
      // another user's folder: left alone
    }
  }
  return removed;
}

module.exports = { makeOwnedTempDir, ownerAlive, processStart, sweepLeftovers };
