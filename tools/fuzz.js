#!/usr/bin/env node
'use strict';
// Builds the libFuzzer targets (fuzz/) into build-fuzz/ with clang, ASan and
// UBSan, replays each target's regression inputs, then fuzzes each target for
// a given time, starting from its seed corpus.  Then runs the property test
// of relay() and the handler (relay-property) with a new seed, about 25 runs
// a second asked for.  `npm run fuzz`.
const { spawn, spawnSync } = require('child_process');
const fs = require('fs');
const path = require('path');

const root = path.resolve(__dirname, '..');
const buildDir = path.join(root, 'build-fuzz');
const crashDir = path.join(buildDir, 'crashes');

const usage = `usage: node tools/fuzz.js [--time S] [--target NAME]... [--list]

Builds build-fuzz/ (clang, -DZEL_FUZZ=ON), then for every native target: replays
fuzz/regressions/NAME/, and fuzzes for S seconds from fuzz/corpus/NAME/ (new
inputs go to build-fuzz/corpus/NAME/).  A failing input is kept in
build-fuzz/crashes/ and its report in build-fuzz/logs/NAME.log.

  --time S       seconds of fuzzing per target (default 60); the target
                 relay-property (relay() and the handler against random
                 replies through the reference daemon, in build/) makes
                 25 runs per second asked for, from a new seed
  --target NAME  only this target (repeatable; or a comma list)
  --list         print the target names and exit

Exits 1 when a target fails, except a target listed in fuzz/known-failures
(its failure is reported and not counted).  Reproduce one input with
  build-fuzz/fuzz/fuzz_NAME -close_fd_mask=1 FILE`;

function die(msg) {
  console.error(`fuzz: ${msg}`);
  process.exit(2);
}

const opts = { time: 60, targets: [], list: false };
const argv = process.argv.slice(2);
for (let i = 0; i < argv.length; i++) {
  const a = argv[i];
  if (a === '--help' || a === '-h') {
    console.log(usage);
    process.exit(0);
  } else if (a === '--time') {
    const v = Number(argv[++i]);
    if (!Number.isInteger(v) || v < 1) die(`--time needs a whole number of seconds, not "${argv[i]}"`);
    opts.time = v;
  } else if (a === '--target') {
    if (!argv[i + 1]) die('--target needs a name');
    opts.targets.push(...argv[++i].split(',').filter(Boolean));
  } else if (a === '--list') {
    opts.list = true;
  } else {
    die(`unknown option "${a}" (try --help)`);
  }
}

// Targets are the fuzz/NAME_fuzz.cc files.
const native = fs.readdirSync(path.join(root, 'fuzz'))
  .filter((f) => f.endsWith('_fuzz.cc')).map((f) => f.slice(0, -'_fuzz.cc'.length)).sort();
const all = [...native, 'relay-property'];
if (opts.list) {
  console.log(all.join('\n'));
  process.exit(0);
}
for (const t of opts.targets) if (!all.includes(t)) die(`no target "${t}"; targets: ${all.join(', ')}`);
const targets = opts.targets.length ? [...new Set(opts.targets)] : all;

// Longest input per target: the composer needs room for headers past 8 KiB,
// the relay and the transport for responses of several payloads.
const maxLen = { relay: 24000, composer: 40000, transport: 40000, reassembly: 24000 };

// fuzz/known-failures: "NAME reason..." per line, '#' starts a comment.
function knownFailures() {
  const file = path.join(root, 'fuzz', 'known-failures');
  const known = new Map();
  if (!fs.existsSync(file)) return known;
  for (const line of fs.readFileSync(file, 'utf8').split('\n')) {
    const m = line.replace(/#.*/, '').trim().match(/^(\S+)\s*(.*)$/);
    if (m) known.set(m[1], m[2]);
  }
  return known;
}

function run(cmd, args, env) {
  const r = spawnSync(cmd, args, { stdio: 'inherit', cwd: root, env: { ...process.env, ...env } });
  if (r.error) die(`${cmd}: ${r.error.message}`);
  if (r.status !== 0) die(`${cmd} ${args.join(' ')} failed`);
}

function build() {
  run('bash', [path.join(root, 'tools', 'ensure-deps.sh'), '--fuzz']);
  if (!fs.existsSync(path.join(buildDir, 'CMakeCache.txt'))) {
    console.log('fuzz: configuring build-fuzz/ (clang, ASan+UBSan, libFuzzer)');
    run('cmake', ['-S', root, '-B', buildDir, '-DZEL_FUZZ=ON', '-DZEL_BUILD_TESTS=OFF',
      '-DCMAKE_BUILD_TYPE=RelWithDebInfo'], { CC: 'clang', CXX: 'clang++' });
  }
  const wanted = targets.filter((t) => native.includes(t));
  // The property test runs the module and the daemon of build/: brought up to date, not only built once.
  if (targets.includes('relay-property')) run(process.execPath, [path.join(root, 'tools', 'build.js')]);
  if (!wanted.length) return;
  console.log(`fuzz: building ${wanted.length} target(s)`);
  run('cmake', ['--build', buildDir, '--parallel', String(Math.max(2, require('os').cpus().length)),
    '--target', ...wanted.map((t) => `fuzz_${t}`)]);
}

const env = {
  ...process.env,
  ASAN_OPTIONS: 'detect_leaks=1:abort_on_error=0:allocator_may_return_null=1',
  UBSAN_OPTIONS: 'print_stacktrace=1:halt_on_error=1',
};

// Runs one libFuzzer process, its output into `log`.  Calls onLine for each
// line of output; resolves with the exit status.
function fuzzer(bin, args, log, onLine) {
  return new Promise((resolve) => {
    const out = fs.createWriteStream(log, { flags: 'a' });
    const child = spawn(bin, args, { cwd: root, env, stdio: ['ignore', 'pipe', 'pipe'] });
    let pending = '';
    const take = (chunk) => {
      out.write(chunk);
      pending += chunk.toString('latin1');
      const lines = pending.split('\n');
      pending = lines.pop();
      for (const l of lines) onLine(l);
    };
    child.stdout.on('data', take);
    child.stderr.on('data', take);
    child.on('error', (e) => {
      out.end();
      resolve({ status: 1, error: e.message });
    });
    child.on('close', (status, signal) => {
      out.end();
      resolve({ status: status === null ? 1 : status, signal });
    });
  });
}

function tail(file, n) {
  const lines = fs.readFileSync(file, 'latin1').split('\n');
  return lines.slice(Math.max(0, lines.length - n)).join('\n');
}

// The property test of relay() and the handler, from a new seed (printed,
// with the line that repeats the run).
async function propertyRun(known) {
  const seed = process.env.ZEL_PROPERTY_SEED || String(Date.now() % 1e9);
  const runs = String(opts.time * 25);
  console.log(`fuzz: relay-property: ${runs} runs from seed ${seed}`);
  const r = spawnSync(process.execPath, ['--test', path.join(root, 'test', 'node', 'relay-property.test.js')], {
    cwd: root, stdio: 'inherit', env: { ...process.env, ZEL_PROPERTY_SEED: seed, ZEL_PROPERTY_RUNS: runs },
  });
  if (r.status === 0) {
    console.log('fuzz: relay-property: ok');
    return counted('relay-property', true, known);
  }
  console.log(`fuzz: relay-property: failed; repeat with ZEL_PROPERTY_SEED=${seed} ZEL_PROPERTY_RUNS=${runs} ` +
    'node --test test/node/relay-property.test.js');
  return counted('relay-property', false, known);
}

// Whether a target's run counts as passed: a failure listed in
// fuzz/known-failures is reported and not counted; a listed target that
// passed is pointed out, so the list does not outlive its reason.
function counted(name, passed, known) {
  if (!known.has(name)) return passed;
  console.log(passed ? `fuzz: ${name}: listed in fuzz/known-failures but passed; remove it from that list`
    : `fuzz: ${name}: known failure (fuzz/known-failures: ${known.get(name)}); not counted`);
  return true;
}

async function fuzzOne(name, known) {
  if (name === 'relay-property') return propertyRun(known);
  const bin = path.join(buildDir, 'fuzz', `fuzz_${name}`);
  const log = path.join(buildDir, 'logs', `${name}.log`);
  const work = path.join(buildDir, 'corpus', name);
  const seeds = path.join(root, 'fuzz', 'corpus', name);
  const regressions = path.join(root, 'fuzz', 'regressions', name);
  const dict = path.join(root, 'fuzz', `${name}.dict`);
  fs.mkdirSync(work, { recursive: true });
  fs.mkdirSync(path.dirname(log), { recursive: true });
  fs.writeFileSync(log, '');
  const common = ['-close_fd_mask=1', '-timeout=20', `-artifact_prefix=${crashDir}/${name}-`];
  if (maxLen[name]) common.push(`-max_len=${maxLen[name]}`);
  const failures = [];

  const inputs = fs.existsSync(regressions)
    ? fs.readdirSync(regressions).filter((f) => !f.startsWith('.')).map((f) => path.join(regressions, f)) : [];
  if (inputs.length) {
    console.log(`fuzz: ${name}: replaying ${inputs.length} regression input(s)`);
    // One process per input, so that every failing one is named.
    for (const input of inputs) {
      const r = await fuzzer(bin, [...common, input], log, () => {});
      if (r.status !== 0) failures.push(`regression input ${path.relative(root, input)} fails`);
    }
  }

  console.log(`fuzz: ${name}: fuzzing for ${opts.time} s`);
  let last = '';
  let lastShown = Date.now();
  const corpora = [work];
  if (fs.existsSync(seeds)) corpora.push(seeds);
  const args = [...common, `-max_total_time=${opts.time}`, '-print_final_stats=1'];
  if (fs.existsSync(dict)) args.push(`-dict=${dict}`);
  let crashFile = null;
  const r = await fuzzer(bin, [...args, ...corpora], log, (line) => {
    if (/^#\d+\s/.test(line)) last = line;
    const m = line.match(/Test unit written to (\S+)/);
    if (m) crashFile = m[1];
    if (Date.now() - lastShown >= 10000 && last) {
      lastShown = Date.now();
      const s = last.match(/^#(\d+).*?cov: (\d+).*?corp: (\d+)/);
      if (s) console.log(`fuzz: ${name}: ${s[1]} runs, coverage ${s[2]}, corpus ${s[3]}`);
    }
  });
  if (r.status !== 0) {
    failures.push(r.error ? `could not run: ${r.error}` : `fuzzing failed${crashFile ? `: ${path.relative(root, crashFile)}` : ''}`);
  }

  const stats = last.match(/^#(\d+).*?cov: (\d+)/);
  if (!failures.length) {
    console.log(`fuzz: ${name}: ok${stats ? ` (${stats[1]} runs, coverage ${stats[2]})` : ''}`);
    return counted(name, true, known);
  }
  console.log(tail(log, 30));
  for (const f of failures) console.log(`fuzz: ${name}: ${f}`);
  console.log(`fuzz: ${name}: report in ${path.relative(root, log)}`);
  return counted(name, false, known);
}

(async () => {
  build();
  fs.mkdirSync(crashDir, { recursive: true });
  const known = knownFailures();
  const failed = [];
  for (const name of targets) {
    if (!(await fuzzOne(name, known))) failed.push(name);
  }
  if (failed.length) {
    console.error(`fuzz: failed: ${failed.join(', ')}`);
    process.exit(1);
  }
  console.log(`fuzz: all ${targets.length} target(s) passed`);
})();
