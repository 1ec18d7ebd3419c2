// Builds vasquill-client.js, the one file pages include, from src/ with the
// AES code of @noble/ciphers bundled in.
//
//   node build.mjs           writes vasquill-client.js
//   node build.mjs --check   exits 1 when vasquill-client.js differs from a
//                            fresh build (the committed file is stale)
import { readFileSync, writeFileSync } from 'node:fs';
import { fileURLToPath } from 'node:url';
import { build } from 'esbuild';

const here = (path) => fileURLToPath(new URL(path, import.meta.url));
const output = here('./vasquill-client.js');
const ciphers = JSON.parse(readFileSync(here('./node_modules/@noble/ciphers/package.json'), 'utf8'));

const banner = `// vasquill-client.js: the web page's side of the Vasquill service (ES module).
// Built from web/src by web/build.mjs (npm run build); do not edit by hand.
// Bundles @noble/ciphers ${ciphers.version}: ${ciphers.license} License,
// Copyright (c) 2022 Paul Miller (https://paulmillr.com),
// Copyright (c) 2016 Thomas Pornin <pornin@bolet.org>.`;

const result = await build({
  entryPoints: [here('./src/index.js')],
  bundle: true,
  format: 'esm',
  platform: 'neutral',
  target: 'es2020',
  charset: 'utf8',
  legalComments: 'inline',
  banner: { js: banner },
  absWorkingDir: here('.'),
  write: false,
  logLevel: 'warning',
});
const text = result.outputFiles[0].text;

if (process.argv.includes('--check')) {
  let committed = '';
  try {
    committed = readFileSync(output, 'utf8');
  } catch {}
  if (committed !== text) {
    console.error('web/vasquill-client.js differs from a build of web/src: run "npm run build" in web/');
    process.exit(1);
  }
  console.log('web/vasquill-client.js is the build of web/src');
} else {
  writeFileSync(output, text);
  console.log(`wrote ${output} (${text.length} characters)`);
}
