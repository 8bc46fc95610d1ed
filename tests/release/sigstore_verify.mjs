// A release's Sigstore bundle as a user checks it with Sigstore's own verifier: offline, with
// only the publisher's public key, no transparency log and no timestamps; then what that
// verifier leaves to its caller: the payload type, the predicate type, and each artifact's
// SHA-256 among the statement's subjects. One line per check, then "N passed, N failed";
// status 0 when every check holds.
//   DORVANE_NODE_MODULES=DIR node sigstore_verify.mjs BUNDLE PUBKEY.pem ARTIFACT...
// The npm packages are those of release/sbom/package-lock.json, in DORVANE_NODE_MODULES.
import { createHash, createPublicKey } from 'node:crypto';
import { readFileSync } from 'node:fs';
import { basename, join } from 'node:path';
import { createRequire } from 'node:module';

const modules = process.env.DORVANE_NODE_MODULES;
const [bundleFile, keyFile, ...artifacts] = process.argv.slice(2);
if (!modules || !keyFile || artifacts.length === 0) {
  process.stderr.write('usage: DORVANE_NODE_MODULES=DIR sigstore_verify.mjs BUNDLE PUBKEY.pem ARTIFACT...\n');
  process.exit(2);
}
const require = createRequire(join(modules, 'index.js'));
const { bundleFromJSON } = require('@sigstore/bundle');
const { Verifier, toSignedEntity, toTrustMaterial } = require('@sigstore/verify');

let passed = 0, failed = 0;
const check = (name, why) => {
  if (why) failed++;
  else passed++;
  process.stdout.write(why ? `FAIL ${name}: ${why}\n` : `ok   ${name}\n`);
};

let statement;
const verified = `${basename(bundleFile)}: verifies with ${basename(keyFile)}; in-toto, SLSA provenance v1`;
try {
  const bundle = bundleFromJSON(JSON.parse(readFileSync(bundleFile, 'utf8')));
  if (bundle.mediaType !== 'application/vnd.dev.sigstore.bundle.v0.3+json') throw new Error(`media type ${bundle.mediaType}`);
  if (bundle.content.$case !== 'dsseEnvelope') throw new Error('not a DSSE envelope');
  const key = createPublicKey(readFileSync(keyFile));
  // Whatever key the bundle's hint names, only the publisher's is tried.
  const trust = toTrustMaterial(
    { certificateAuthorities: [], timestampAuthorities: [], tlogs: [], ctlogs: [] },
    () => ({ publicKey: key, validFor: () => true }),
  );
  new Verifier(trust, { tlogThreshold: 0, ctlogThreshold: 0, tsaThreshold: 0 }).verify(toSignedEntity(bundle));
  const env = bundle.content.dsseEnvelope;
  if (env.payloadType !== 'application/vnd.in-toto+json') throw new Error(`payload type ${env.payloadType}`);
  const signed = JSON.parse(env.payload.toString('utf8'));
  if (signed._type !== 'https://in-toto.io/Statement/v1') throw new Error(`statement type ${signed._type}`);
  if (signed.predicateType !== 'https://slsa.dev/provenance/v1') throw new Error(`predicate type ${signed.predicateType}`);
  statement = signed;
  check(verified);
} catch (e) {
  check(verified, e.message);
}
for (const artifact of artifacts) {
  const digest = createHash('sha256').update(readFileSync(artifact)).digest('hex');
  const subject = statement?.subject?.find((s) => s?.digest?.sha256 === digest);
  check(
    `${basename(artifact)}: its SHA-256 is a signed subject${subject ? ` (${subject.name})` : ''}`,
    statement ? (subject ? '' : `${digest} is no subject's`) : 'the bundle does not verify',
  );
}
process.stdout.write(`${passed} passed, ${failed} failed\n`);
process.exit(failed ? 1 : 0);
