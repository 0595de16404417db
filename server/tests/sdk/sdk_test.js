// SPDX-License-Identifier: MIT
'use strict';
// The cloud vendor's own Node.js SDK (npm baidu-aip-sdk, pinned in package-lock.json),
// unmodified, against virelto-ocr-server. Only the host of each request is rewritten, through
// the SDK's documented HttpClient.setRequestInterceptor, so every call reaches the local
// service exactly as the SDK would send it to the cloud.
//
// Usage: node sdk_test.js SERVER_BINARY FIXTURES_DIR SDK_PREFIX
//   SDK_PREFIX holds package.json and package-lock.json; the SDK is installed there with
//   `npm ci` when it is not there yet.
// Exit status: 0 every check passed; 1 a check failed; 77 the SDK could not be installed
// because the npm registry could not be reached.

const childProcess = require('child_process');
const crypto = require('crypto');
const fs = require('fs');
const http = require('http');
const path = require('path');

const SDK_VERSION = '4.16.16';
const SKIP = 77;
const CLOUD = 'https://aip.baidubce.com';
const INSTALL_LIMIT_MS = 300000;
const START_LIMIT_MS = 60000;
const CALL_LIMIT_MS = 60000;
const RUN_LIMIT_MS = 300000;

// Test credentials, handed to the services through their environment only.
const API_KEY = 'virelto-sdk-test-key';
const SECRET_KEY = 'virelto-sdk-test-secret';

const [binary, fixturesDir, sdkPrefix] = process.argv.slice(2);
if (!binary || !fixturesDir || !sdkPrefix) {
    console.error('usage: node sdk_test.js SERVER_BINARY FIXTURES_DIR SDK_PREFIX');
    process.exit(2);
}

const children = new Set();
process.on('exit', () => {
    for (const child of children)
        child.kill('SIGKILL');
});

function bail(message, status = 1) {
    console.error(message);
    process.exit(status);
}

function withTimeout(promise, ms, what) {
    let timer;
    const timeout = new Promise((_, reject) => {
        timer = setTimeout(() => reject(new Error(`${what}: no answer within ${ms / 1000} s`)), ms);
    });
    return Promise.race([promise, timeout]).finally(() => clearTimeout(timer));
}

// --- the SDK, installed into the build folder from the committed lock file --------------

// What was installed, and from which lock file: npm ci empties node_modules, stamp and all.
function lockDigest() {
    return crypto.createHash('sha256').update(fs.readFileSync(path.join(sdkPrefix, 'package-lock.json'))).digest('hex');
}

function stampPath() {
    return path.join(sdkPrefix, 'node_modules', '.virelto-lock-sha256');
}

function installedSdkVersion() {
    try {
        const manifest = path.join(sdkPrefix, 'node_modules', 'baidu-aip-sdk', 'package.json');
        return JSON.parse(fs.readFileSync(manifest, 'utf8')).version;
    } catch (e) {
        return null;
    }
}

function sdkUpToDate() {
    try {
        return installedSdkVersion() === SDK_VERSION && fs.readFileSync(stampPath(), 'utf8') === lockDigest();
    } catch (e) {
        return false;
    }
}

function runCommand(command, args, limitMs) {
    return new Promise(resolve => {
        const child = childProcess.spawn(command, args, {stdio: ['ignore', 'pipe', 'pipe']});
        let output = '';
        let timedOut = false;
        child.stdout.on('data', d => { output += d; });
        child.stderr.on('data', d => { output += d; });
        const timer = setTimeout(() => { timedOut = true; child.kill('SIGKILL'); }, limitMs);
        child.on('error', error => { clearTimeout(timer); resolve({status: -1, output: String(error), timedOut}); });
        child.on('close', status => { clearTimeout(timer); resolve({status, output, timedOut}); });
    });
}

async function ensureSdk() {
    if (sdkUpToDate())
        return;
    console.log(`installing baidu-aip-sdk ${SDK_VERSION} into ${sdkPrefix} (npm ci)`);
    const result = await runCommand('npm', ['ci', '--prefix', sdkPrefix, '--no-audit', '--no-fund'], INSTALL_LIMIT_MS);
    if (result.status === 0 && installedSdkVersion() === SDK_VERSION) {
        fs.writeFileSync(stampPath(), lockDigest());
        return;
    }
    const unreachable = /E(NOTFOUND|AI_AGAIN|CONNREFUSED|CONNRESET|TIMEDOUT|NETUNREACH|HOSTUNREACH)|network|socket hang up/i;
    if (result.timedOut || unreachable.test(result.output)) {
        bail(`SKIP: baidu-aip-sdk ${SDK_VERSION} cannot be installed: the npm registry is not reachable`
             + (result.timedOut ? ` (npm ci ran out of ${INSTALL_LIMIT_MS / 1000} s)` : '')
             + `\n${result.output.trim().split('\n').slice(-5).join('\n')}`, SKIP);
    }
    bail(`FAIL: npm ci of baidu-aip-sdk ${SDK_VERSION} failed (status ${result.status}):\n${result.output}`);
}

// --- the service -------------------------------------------------------------------------

function startService(label, workers, env) {
    const child = childProcess.spawn(binary, ['--listen', '127.0.0.1:0', '--workers', String(workers)], {
        env: Object.assign({}, process.env, env),
        stdio: ['ignore', 'ignore', 'pipe'],
    });
    children.add(child);
    const service = {label, child, log: [], exited: null};
    child.on('exit', (code, signal) => { service.exited = signal || code; children.delete(child); });
    return withTimeout(new Promise((resolve, reject) => {
        let pending = '';
        child.stderr.setEncoding('utf8');
        child.stderr.on('data', chunk => {
            pending += chunk;
            let newline;
            while ((newline = pending.indexOf('\n')) >= 0) {
                const line = pending.slice(0, newline);
                pending = pending.slice(newline + 1);
                service.log.push(line);
                const ready = /listening on http:\/\/127\.0\.0\.1:(\d+)/.exec(line);
                if (ready && !service.port) {
                    service.port = Number(ready[1]);
                    resolve(service);
                }
            }
        });
        child.on('error', reject);
        child.on('exit', () => reject(new Error(`${label} exited before listening:\n${service.log.join('\n')}`)));
    }), START_LIMIT_MS, `${label} start-up`);
}

function stopService(service) {
    if (service.exited !== null)
        return Promise.resolve();
    const exited = new Promise(resolve => service.child.once('exit', resolve));
    service.child.kill('SIGTERM');
    return withTimeout(exited, 10000, `${service.label} stop`).catch(() => service.child.kill('SIGKILL'));
}

// A token asked for by hand, the way any HTTP client would (form body).
function requestToken(port, apiKey, secretKey) {
    const body = new URLSearchParams({grant_type: 'client_credentials', client_id: apiKey, client_secret: secretKey})
            .toString();
    return withTimeout(new Promise((resolve, reject) => {
        // A connection of its own: never one the SDK left behind.
        const request = http.request({host: '127.0.0.1', port, agent: false, method: 'POST', path: '/oauth/2.0/token', headers: {
            'Content-Type': 'application/x-www-form-urlencoded', 'Content-Length': Buffer.byteLength(body)}},
        response => {
            let text = '';
            response.setEncoding('utf8');
            response.on('data', d => { text += d; });
            response.on('end', () => {
                try {
                    resolve({status: response.statusCode, body: JSON.parse(text)});
                } catch (e) {
                    reject(new Error(`token reply is not JSON (HTTP ${response.statusCode}): ${text.slice(0, 200)}`));
                }
            });
        });
        request.on('error', reject);
        request.end(body);
    }), CALL_LIMIT_MS, 'token request');
}

// --- checks ------------------------------------------------------------------------------

let passed = 0;
let failed = 0;
function check(name, ok, detail) {
    if (ok)
        ++passed;
    else
        ++failed;
    console.log(`${ok ? 'PASS' : 'FAIL'} ${name}${!ok && detail ? `: ${detail}` : ''}`);
    return ok;
}

function short(value) {
    const text = JSON.stringify(value);
    return text && text.length > 300 ? `${text.slice(0, 300)}...` : text;
}

const expectedLines = fs.readFileSync(path.join(fixturesDir, 'small.txt'), 'utf8').split('\n').filter(l => l.trim());
const image = fs.readFileSync(path.join(fixturesDir, 'small.png')).toString('base64');

function checkRecognition(mode, reply, options) {
    if (!check(`${mode}: recognition succeeds`, reply && typeof reply === 'object' && !('error_code' in reply)
               && Array.isArray(reply.words_result), short(reply))) {
        return;
    }
    const lines = reply.words_result.map(w => w.words);
    check(`${mode}: lines of small.png`, JSON.stringify(lines) === JSON.stringify(expectedLines),
          `got ${short(lines)}, want ${short(expectedLines)}`);
    check(`${mode}: words_result_num and log_id`, reply.words_result_num === lines.length
          && typeof reply.log_id === 'number', short({words_result_num: reply.words_result_num, log_id: reply.log_id}));

    const scores = reply.words_result.map(w => w.probability);
    if (options.probability === 'true') {
        const inRange = x => typeof x === 'number' && x >= 0 && x <= 1;
        check(`${mode}: probability on every line`, scores.every(p => p && inRange(p.average) && inRange(p.min)
              && inRange(p.variance) && p.min <= p.average + 1e-9), short(scores));
    } else {
        check(`${mode}: no probability unless asked`, scores.every(p => p === undefined), short(scores));
    }

    if (options.paragraph === 'true') {
        const paragraphs = reply.paragraphs_result;
        const indices = Array.isArray(paragraphs) ? [].concat(...paragraphs.map(p => p.words_result_idx)) : null;
        check(`${mode}: paragraphs cover every line once, in order`, indices !== null
              && reply.paragraphs_result_num === paragraphs.length
              && JSON.stringify(indices) === JSON.stringify(lines.map((_, i) => i)), short(paragraphs));
    } else {
        check(`${mode}: no paragraphs unless asked`, !('paragraphs_result' in reply), short(reply.paragraphs_result));
    }

    if (options.detect_direction === 'true') {
        // Upright page: 0 when the service reports a direction at all.
        const given = 'direction' in reply;
        check(`${mode}: direction of an upright page${given ? '' : ' (none in the reply: accepted)'}`,
              !given || reply.direction === 0, `direction ${reply.direction}`);
    }
}

// A PDF whose pages are 8-bit grey PNG files, at `dpi`. A PNG's IDAT data is what a PDF's
// FlateDecode filter reads with PNG predictors, so the pictures go in as they are.
function pdfOfPngs(pngs, dpi) {
    const objects = [];
    const add = body => objects.push(body); // the object's number
    const catalog = add(null);
    const pages = add(null);
    const kids = [];
    for (const png of pngs) {
        const width = png.readUInt32BE(16);
        const height = png.readUInt32BE(20);
        if (png[24] !== 8 || png[25] !== 0 || png[28] !== 0)
            throw new Error('pdfOfPngs takes 8-bit grey, non-interlaced PNG files');
        const idat = [];
        for (let at = 8; at < png.length;) {
            const length = png.readUInt32BE(at);
            if (png.toString('latin1', at + 4, at + 8) === 'IDAT')
                idat.push(png.subarray(at + 8, at + 8 + length));
            at += 12 + length;
        }
        const data = Buffer.concat(idat);
        const head = `<< /Type /XObject /Subtype /Image /Width ${width} /Height ${height} /ColorSpace /DeviceGray`
                + ' /BitsPerComponent 8 /Filter /FlateDecode'
                + ` /DecodeParms << /Predictor 15 /Colors 1 /BitsPerComponent 8 /Columns ${width} >>`
                + ` /Length ${data.length} >>\nstream\n`;
        const image = add(Buffer.concat([Buffer.from(head, 'latin1'), data, Buffer.from('\nendstream', 'latin1')]));
        const w = width * 72 / dpi;
        const h = height * 72 / dpi;
        const draw = `q ${w} 0 0 ${h} 0 0 cm /Im Do Q`;
        const content = add(`<< /Length ${draw.length} >>\nstream\n${draw}\nendstream`);
        kids.push(add(`<< /Type /Page /Parent ${pages} 0 R /MediaBox [0 0 ${w} ${h}] /Contents ${content} 0 R`
                + ` /Resources << /XObject << /Im ${image} 0 R >> >> >>`));
    }
    objects[catalog - 1] = `<< /Type /Catalog /Pages ${pages} 0 R >>`;
    objects[pages - 1] = `<< /Type /Pages /Kids [${kids.map(k => `${k} 0 R`).join(' ')}] /Count ${kids.length} >>`;
    const parts = [Buffer.from('%PDF-1.4\n', 'latin1')];
    let size = parts[0].length;
    const offsets = objects.map((body, i) => {
        const at = size;
        const chunk = Buffer.concat([Buffer.from(`${i + 1} 0 obj\n`, 'latin1'),
                                     Buffer.isBuffer(body) ? body : Buffer.from(body, 'latin1'),
                                     Buffer.from('\nendobj\n', 'latin1')]);
        parts.push(chunk);
        size += chunk.length;
        return at;
    });
    const xref = [`xref\n0 ${objects.length + 1}\n0000000000 65535 f \n`,
                  ...offsets.map(o => `${String(o).padStart(10, '0')} 00000 n \n`),
                  `trailer\n<< /Size ${objects.length + 1} /Root ${catalog} 0 R >>\nstartxref\n${size}\n%%EOF\n`];
    parts.push(Buffer.from(xref.join(''), 'latin1'));
    return Buffer.concat(parts);
}

// positions.png's lines and their true boxes (left top width height text), from make_fixtures.sh.
const positionsImage = fs.readFileSync(path.join(fixturesDir, 'positions.png')).toString('base64');
const trueBoxes = fs.readFileSync(path.join(fixturesDir, 'positions.boxes'), 'utf8').split('\n').filter(l => l.trim())
        .map(l => l.split(' ').slice(0, 4).map(Number));

function iou(location, [left, top, width, height]) {
    const w = Math.min(location.left + location.width, left + width) - Math.max(location.left, left);
    const h = Math.min(location.top + location.height, top + height) - Math.max(location.top, top);
    const common = w > 0 && h > 0 ? w * h : 0;
    return common / (location.width * location.height + width * height - common);
}

function checkPositions(what, reply, withChars) {
    const words = reply && Array.isArray(reply.words_result) ? reply.words_result : [];
    check(`${what}: a line for each of positions.png's lines`, words.length === trueBoxes.length, short(reply));
    const scores = words.map((w, i) => (w.location && trueBoxes[i] ? iou(w.location, trueBoxes[i]) : 0));
    check(`${what}: every line's location overlaps its true box (IoU >= 0.7)`,
          scores.length > 0 && scores.every(s => s >= 0.7), short(scores));
    const inside = (c, l) => c.left >= l.left && c.top >= l.top && c.left + c.width <= l.left + l.width
            && c.top + c.height <= l.top + l.height;
    if (withChars) {
        const placed = w => Array.isArray(w.chars) && w.chars.length > 0
                && w.chars.every(c => typeof c.char === 'string' && inside(c.location, w.location));
        check(`${what}: chars, each within its line`, words.length > 0 && words.every(placed),
              short(words.map(w => w.chars)));
    } else {
        check(`${what}: no chars unless asked`, words.every(w => !('chars' in w)), short(words));
    }
}

function checkRefused(what, reply) {
    check(`${what}: error 14 IAM Certification failed`, reply && reply.error_code === 14
          && reply.error_msg === 'IAM Certification failed' && 'log_id' in reply, short(reply));
}

// --- what the SDK sends, as the interceptor sees it ---------------------------------------

const route = {token: 0, ocr: 0, tamper: false};
const sent = [];
// What must never show up in a service's log: the secret, tokens, signatures.
const secrets = new Set([SECRET_KEY]);

function describe(request) {
    const query = request.query
            .replace(/(access_token=)[^?&]*/, '$1<token>');
    const headers = Object.entries(request.headers).map(([k, v]) => `${k}: ${
        k.toLowerCase() === 'authorization' ? v.replace(/[0-9a-f]{64}$/, '<signature>') : v}`);
    return `${request.method} ${request.path}${query ? `?${query}` : ''} headers{${headers.join(', ')}}`
            + ` form{${request.form.join(', ')}}`;
}

function installInterceptor(aip) {
    aip.HttpClient.setRequestInterceptor(options => {
        if (!options.url.startsWith(`${CLOUD}/`))
            throw new Error(`the SDK sent a request elsewhere: ${options.url.split('?')[0]}`);
        const rest = options.url.slice(CLOUD.length);
        const pathOnly = rest.split('?')[0];
        const port = pathOnly === '/oauth/2.0/token' ? route.token : route.ocr;
        options.url = `http://127.0.0.1:${port}${rest}`;
        // The SDK's token request has no time limit of its own.
        options.timeout = options.timeout || 30000;
        const headers = Object.assign({}, options.headers || {});
        if (typeof headers.authorization === 'string')
            secrets.add(headers.authorization.split('/').pop());
        const token = /access_token=([^?&]+)/.exec(rest);
        if (token)
            secrets.add(decodeURIComponent(token[1]));
        if (route.tamper && typeof headers.authorization === 'string') {
            const last = headers.authorization.slice(-1);
            options.headers.authorization = headers.authorization.slice(0, -1) + (last === '0' ? '1' : '0');
        }
        sent.push({
            method: options.method,
            path: pathOnly,
            query: rest.includes('?') ? rest.slice(rest.indexOf('?') + 1) : '',
            headers,
            form: Object.keys(options.form || {}),
        });
        return options;
    });
}

function requestsSince(mark) {
    const requests = sent.slice(mark);
    for (const request of requests)
        console.log(`  sent: ${describe(request)}`);
    return requests;
}

// A client whose token request goes to tokenPort (by default the service itself).
function constructClient(aip, apiKey, secretKey, tokenPort) {
    const saved = route.token;
    route.token = tokenPort || route.ocr;
    // The constructor sends its token request at once, through the interceptor.
    const client = new aip.ocr('virelto-sdk-test', apiKey, secretKey);
    route.token = saved;
    return client;
}

function call(promise, what) {
    return withTimeout(promise, CALL_LIMIT_MS, what)
            .catch(error => ({sdkError: error instanceof Error ? error.message : error}));
}

function recognise(client, options, what) {
    return call(client.accurateBasic(image, options), what);
}

// --- the modes ---------------------------------------------------------------------------

// (a) API Key + Secret Key: the SDK asks for a token, then recognises with it.
async function tokenMode(aip) {
    const mark = sent.length;
    const client = constructClient(aip, API_KEY, SECRET_KEY);
    const options = {probability: 'true', paragraph: 'true', detect_direction: 'true'};
    const reply = await recognise(client, options, 'accurateBasic');
    const requests = requestsSince(mark);
    const tokenRequest = requests.find(r => r.path === '/oauth/2.0/token');
    check('(a): token asked for with a form body', tokenRequest && tokenRequest.method === 'post'
          && tokenRequest.query === '' && tokenRequest.form.join() === 'grant_type,client_id,client_secret');
    const ocr = requests.find(r => r.path === '/rest/2.0/ocr/v1/accurate_basic');
    const held = client.devAccessToken || {};
    check('(a): the SDK recognised with the token it was given', ocr && typeof held.token === 'string'
          && held.token.length > 0 && ocr.query === `aipSdk=node&access_token=${held.token}?aipSdk=node`
          && !('authorization' in ocr.headers),
          ocr && 'authorization' in ocr.headers ? `it signed the request instead; token scope: ${short(held.scope)}`
                                               : ocr && describe(ocr));
    checkRecognition('(a)', reply, options);
}

// (b) A token set by hand. The client's own keys are unknown to the service, so nothing but
// that token can authenticate it.
async function setTokenMode(aip, service) {
    const granted = await requestToken(service.port, API_KEY, SECRET_KEY);
    check('token reply scope includes brain_all_scope', granted.status === 200
          && String(granted.body.scope).split(' ').includes('brain_all_scope'), short(granted.body.scope));
    const token = granted.body.access_token;
    const mark = sent.length;
    const client = constructClient(aip, 'unknown-key', 'unknown-secret');
    // Let the constructor's own token request finish first: its refusal would otherwise switch
    // the client to signing after setAccessToken. The SDK counts a token with less than a day
    // to live as expired, so pass the lifetime the service gave.
    await withTimeout(client.pms, CALL_LIMIT_MS, 'the SDK\'s own token attempt').catch(() => {});
    client.setAccessToken(token, granted.body.expires_in);
    const options = {language_type: 'ENG'};
    const reply = await recognise(client, options, 'accurateBasic');
    const ocr = requestsSince(mark).find(r => r.path === '/rest/2.0/ocr/v1/accurate_basic');
    check('(b): the token is sent as the SDK sends it (a literal ?aipSdk=node after it)',
          ocr && ocr.query === `aipSdk=node&access_token=${token}?aipSdk=node`, ocr && describe(ocr));
    checkRecognition('(b)', reply, options);
}

// (c) Signature mode: the token endpoint refuses the keys, so the SDK signs every call.
async function signatureMode(aip, refuser) {
    const refused = await requestToken(refuser.port, API_KEY, SECRET_KEY);
    check('(c): a token endpoint that does not know the keys answers invalid_client',
          refused.status === 401 && refused.body.error === 'invalid_client', short(refused));
    const mark = sent.length;
    const client = constructClient(aip, API_KEY, SECRET_KEY, refuser.port);
    const options = {language_type: 'ENG', probability: 'true', detect_direction: 'true'};
    const reply = await recognise(client, options, 'accurateBasic');
    const ocr = requestsSince(mark).find(r => r.path === '/rest/2.0/ocr/v1/accurate_basic');
    const authorization = ocr && ocr.headers.authorization;
    check('(c): the SDK signed the request (bce-auth-v1, host signed as the cloud\'s name)',
          typeof authorization === 'string' && authorization.startsWith(`bce-auth-v1/${API_KEY}/`)
          && /\/content-type;host;x-bce-date\/[0-9a-f]{64}$/.test(authorization)
          && ocr.headers.Host === 'aip.baidubce.com' && !/access_token/.test(ocr.query), ocr && describe(ocr));
    checkRecognition('(c)', reply, options);

    route.tamper = true;
    const tampered = await recognise(client, {language_type: 'ENG'}, 'accurateBasic, signature changed')
            .finally(() => { route.tamper = false; });
    checkRefused('(c) signature changed on the way', tampered);
}

// The rest of the general OCR family, each call as the SDK makes it, with a token.
async function family(aip) {
    const client = constructClient(aip, API_KEY, SECRET_KEY);
    const pdf = pdfOfPngs([fs.readFileSync(path.join(fixturesDir, 'positions.png')),
                           fs.readFileSync(path.join(fixturesDir, 'small.png'))], 300).toString('base64');
    const calls = [
        ['generalBasic', 'general_basic', () => client.generalBasic(image, {probability: 'true'}), reply => {
            checkRecognition('generalBasic', reply, {probability: 'true'});
            check('generalBasic: no location', reply && (reply.words_result || []).every(w => !('location' in w)));
        }],
        ['general', 'general', () => client.general(positionsImage, {recognize_granularity: 'small'}),
         reply => checkPositions('general', reply, true)],
        ['accurate', 'accurate', () => client.accurate(positionsImage, {detect_direction: 'true',
                                                                         vertexes_location: 'true'}), reply => {
            checkPositions('accurate', reply, false);
            check('accurate: direction of an upright page', reply && reply.direction === 0, short(reply));
            // The line's own corners, each on its box's edge or within a pixel of it.
            const near = (p, l) => p.x >= l.left - 1 && p.x <= l.left + l.width + 1
                    && p.y >= l.top - 1 && p.y <= l.top + l.height + 1;
            const cornered = w => Array.isArray(w.vertexes_location) && w.vertexes_location.length === 4
                    && w.vertexes_location.every(p => near(p, w.location))
                    && Math.abs(w.vertexes_location[0].x - w.location.left) <= 1
                    && Math.abs(w.vertexes_location[0].y - w.location.top) <= 1;
            check('accurate: four corners per line with vertexes_location',
                  reply && (reply.words_result || []).every(cornered), short(reply && reply.words_result));
        }],
        ['accurateBasicPdf', 'accurate_basic', () => client.accurateBasicPdf(pdf, {pdf_file_num: '2'}), reply => {
            checkRecognition('accurateBasicPdf, page 2', reply, {});
            check('accurateBasicPdf: pdf_file_size is the page count', reply && reply.pdf_file_size === '2',
                  short(reply && reply.pdf_file_size));
        }],
        ['accurateBasicUrl', 'accurate_basic', () => client.accurateBasicUrl('http://192.0.2.1/page.png'), reply => {
            check('accurateBasicUrl: refused with error 216102 service not support',
                  reply && reply.error_code === 216102 && reply.error_msg === 'service not support'
                  && !('words_result' in reply), short(reply));
        }],
    ];
    for (const [method, endpoint, send, verify] of calls) {
        const mark = sent.length;
        const reply = await call(send(), method);
        const ocr = requestsSince(mark).filter(r => r.path.startsWith('/rest/'));
        check(`${method}: sent to ${endpoint} with the token`, ocr.length === 1
              && ocr[0].path === `/rest/2.0/ocr/v1/${endpoint}` && /access_token=/.test(ocr[0].query),
              ocr.map(describe).join('; '));
        verify(reply);
    }
}

// Wrong keys: the token endpoint refuses them and the SDK falls back to signing with them.
async function wrongKeys(aip) {
    for (const [what, apiKey, secretKey] of [['wrong API Key', 'not-the-key', SECRET_KEY],
                                             ['wrong Secret Key', API_KEY, 'not-the-secret']]) {
        const mark = sent.length;
        const client = constructClient(aip, apiKey, secretKey);
        const reply = await recognise(client, {language_type: 'ENG'}, what);
        requestsSince(mark);
        checkRefused(what, reply);
    }
}

async function main() {
    await ensureSdk();
    const aip = require(path.join(path.resolve(sdkPrefix), 'node_modules', 'baidu-aip-sdk'));
    const watchdog = setTimeout(() => bail(`FAIL: the SDK test did not finish within ${RUN_LIMIT_MS / 1000} s`),
                                RUN_LIMIT_MS);

    // The second service knows other keys: its token endpoint refuses ours, as the cloud's
    // refuses a key pair that may not have tokens, and that is what sends the SDK to signing.
    const [service, refuser] = await Promise.all([
        startService('service', 2, {VIRELTO_OCR_API_KEY: API_KEY, VIRELTO_OCR_SECRET_KEY: SECRET_KEY,
                                    VIRELTO_OCR_TOKEN_KEY: crypto.randomBytes(32).toString('hex')}),
        startService('token refuser', 1, {VIRELTO_OCR_API_KEY: 'another-key', VIRELTO_OCR_SECRET_KEY: 'another-secret',
                                          VIRELTO_OCR_TOKEN_KEY: crypto.randomBytes(32).toString('hex')}),
    ]);
    route.ocr = route.token = service.port;
    installInterceptor(aip);

    const modes = [
        ['mode (a): API Key and Secret Key, token from the service', () => tokenMode(aip)],
        ['mode (b): a token set with setAccessToken', () => setTokenMode(aip, service)],
        ['mode (c): bce-auth-v1 signatures', () => signatureMode(aip, refuser)],
        ['the general OCR family: generalBasic, general, accurate, accurateBasicPdf, accurateBasicUrl',
         () => family(aip)],
        ['wrong keys', () => wrongKeys(aip)],
    ];
    for (const [title, run] of modes) {
        console.log(title);
        try {
            await run();
        } catch (error) {
            check(`${title}: runs to the end`, false, String(error && error.stack || error));
        }
    }

    for (const s of [service, refuser]) {
        check(`${s.label} still running`, s.exited === null, `exited with ${s.exited}`);
        const leaked = [...secrets].filter(secret => s.log.some(line => line.includes(secret)));
        check(`${s.label} log holds no secret, token or signature`, leaked.length === 0,
              `${leaked.length} of them found`);
    }

    clearTimeout(watchdog);
    if (failed) {
        for (const s of [service, refuser]) {
            console.log(`--- ${s.label} log (last lines)`);
            console.log(s.log.slice(-20).map(line => line.slice(0, 300)).join('\n'));
        }
    }
    await Promise.all([stopService(service), stopService(refuser)]);
    console.log(`${passed} passed, ${failed} failed`);
    process.exit(failed ? 1 : 0);
}

main().catch(error => bail(`FAIL: ${error && error.stack || error}`));
