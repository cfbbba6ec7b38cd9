// Compiled with `tsc --noEmit` by test/node/types.test.js: the declarations
// must accept what the README shows and refuse what the API refuses.
import * as http from 'http';
import {
  relay, createRelayHandler, filterResponseHeaders, node_zel_req, RelayResult, ZelRelayError, ZelHandlerErrorBody, ZelRelayEvent,
} from '../..';
import { pipeline } from 'stream';

async function use(): Promise<void> {
  const r: RelayResult = await relay({
    serials: 'S1:S2',
    path: '/api/status?x=1',
    method: 'POST',
    acceptEncoding: 'gzip, br',
    admin: { name: 'alice', profile: 'super_user', superAdmin: true },
    body: Buffer.from('{"a":1}'),
    headers: { 'content-type': 'application/json' },
    signal: AbortSignal.timeout(30000),
    timeout: 12000,
  });
  const status: number = r.statusCode;
  const type: string | undefined = r.headers['content-type'];
  r.body.pipe(process.stdout);
  void status; void type;

  const res = {} as http.ServerResponse;
  res.writeHead(r.statusCode, filterResponseHeaders(r.headers));
  pipeline(r.body, res, (err) => { if (err) res.destroy(); });
  // @ts-expect-error the filter takes an object of fields
  filterResponseHeaders('set-cookie: a');

  try {
    await relay({ serials: 'S1:S2', path: '/', admin: { name: 'a', profile: 'p', superAdmin: false } });
  } catch (e) {
    const err = e as ZelRelayError;
    if (err.code === 'ZEL_ERR_REPLY') console.log(err.replyCode);
  }

  // @ts-expect-error admin is required
  await relay({ serials: 'S1:S2', path: '/' });
  // @ts-expect-error superAdmin is a boolean
  await relay({ serials: 'S1:S2', path: '/', admin: { name: 'a', profile: 'p', superAdmin: '1' } });
  // @ts-expect-error body is text or bytes
  await relay({ serials: 'S1:S2', path: '/', admin: { name: 'a', profile: 'p', superAdmin: true }, body: 12 });
}

const handler = createRelayHandler({
  prefix: '/zel',
  identity: async (req) => ({ name: String(req.headers['x-user']), profile: 'read-only', superAdmin: false }),
  maxBodyBytes: 1 << 20,
});
http.createServer(handler);
createRelayHandler({
  identity: () => ({ name: 'a', profile: 'p', superAdmin: false }),
  responseHeaders: (headers, ctx) => (ctx.statusCode < 300 ? headers : filterResponseHeaders(headers)),
});
// @ts-expect-error responseHeaders is a function over the fields
createRelayHandler({ identity: () => ({ name: 'a', profile: 'p', superAdmin: false }), responseHeaders: true });
// @ts-expect-error identity is required
createRelayHandler({ prefix: '/zel' });

const ret: 0 | -1 | undefined = node_zel_req('GET', '/zel/S1:S2', '/', '', 'a', 'p', '1', '', () => {}, () => {});
void ret; void use;

createRelayHandler({
  identity: () => ({ name: 'a', profile: 'p', superAdmin: false }),
  deadline: 30000,
  forwardHeaders: ['accept', 'x-tenant'],
  onError: (err, req) => console.error(req.url, err.code, err.message),
});
createRelayHandler({
  identity: () => ({ name: 'a', profile: 'p', superAdmin: false }),
  forwardHeaders: (req) => ({ 'x-tenant': req.headers['x-tenant'] as string | undefined }),
});
// @ts-expect-error forwardHeaders is a list of names or a function
createRelayHandler({ identity: () => ({ name: 'a', profile: 'p', superAdmin: false }), forwardHeaders: 'accept' });

async function limits(): Promise<void> {
  try {
    await relay({ serials: 'S1:S2', path: '/', admin: { name: 'a', profile: 'p', superAdmin: false }, deadline: 5000 });
  } catch (e) {
    const err = e as ZelRelayError;
    if (err.code === 'ZEL_ERR_UNKNOWN_SERIAL' || err.code === 'ZEL_ERR_TIMEOUT') console.log(err.replyCode, err.deadline);
  }
  const body: ZelHandlerErrorBody = { error: 'x', code: 'ZEL_ERR_IDENTITY' };
  const onEvent = (m: ZelRelayEvent) => { if (m.event === 'end') console.log(m.totalMs, m.headMs, m.replyBytes, m.bodyBytes); };
  void body; void onEvent;
}
void limits;
