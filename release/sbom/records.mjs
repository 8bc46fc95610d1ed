// The machine-readable records that ship beside a release's ZIP and MSI: a CycloneDX 1.6
// SBOM of what is inside dorvane.exe, SLSA v1 provenance of how it was built, and the
// provenance's DSSE envelope when the release is signed. Everything is read from the build
// itself (the link map, the package database, the files) and nothing from the clock, so
// one commit gives the same bytes wherever it is built.
//
//   node records.mjs records OPTIONS     writes dorvane-<version>-<arch>.cdx.json, then
//                                        dorvane-<version>-<arch>.provenance.json
//   node records.mjs sbom|provenance OPTIONS   writes one of them
//   node records.mjs pae PROVENANCE OUT  writes what its DSSE signature covers
//   node records.mjs envelope PROVENANCE SIGNATURE KEY OUT   wraps release/sign.sh's
//                                        signature of that into the envelope
//   node records.mjs bundle ENVELOPE KEY OUT   the same envelope as a Sigstore bundle
//   node records.mjs check SBOM          validates an SBOM: schema, licences, purls
// OPTIONS are --name value pairs; see `options` below.
import { createHash, createPublicKey, verify } from 'node:crypto';
import { execFileSync } from 'node:child_process';
import { readFileSync, writeFileSync, realpathSync, existsSync, mkdirSync } from 'node:fs';
import { basename, dirname, join, normalize } from 'node:path';
import { fileURLToPath } from 'node:url';
import { createRequire } from 'node:module';

// What a release is (the exe's name, the records' types): release/contract.json; this
// package's file names are the build's own (--project, its project.json).
const here = dirname(fileURLToPath(import.meta.url));
const contract = JSON.parse(readFileSync(join(here, '../contract.json'), 'utf8'));
// The packages package-lock.json pins live outside the source tree: scripts/ensure-tools.sh
// installs them into the checkout's folder the contract names, or where DORVANE_NODE_MODULES says.
const modules = process.env.DORVANE_NODE_MODULES || join(here, '../..', contract.paths.node_modules);
const require = createRequire(join(modules, 'index.js'));
const CDX = require('@cyclonedx/cyclonedx-library');
const { PackageURL } = require('packageurl-js');
const parseSpdx = require('spdx-expression-parse');
const uuid = require('uuid');
const sigstoreCore = require('@sigstore/core');
const EXE = contract.members.find((member) => member.role === 'program').name;
const spec = CDX.Spec.SpecVersionDict[contract.records.sbom_spec];
const fail = (why) => {
  process.stderr.write(`records.mjs: ${why}\n`);
  process.exit(1);
};

function options(argv) {
  const o = {};
  for (let i = 0; i < argv.length; i += 2) {
    if (!argv[i].startsWith('--') || argv[i + 1] === undefined) fail(`bad option ${argv[i]}`);
    o[argv[i].slice(2)] = argv[i + 1];
  }
  return o;
}

const digest = (algorithm, file) => createHash(algorithm).update(readFileSync(file)).digest('hex');
const run = (cmd, args) => execFileSync(cmd, args, { encoding: 'utf8', stdio: ['ignore', 'pipe', 'ignore'] });
const tryRun = (cmd, args) => {
  try {
    return run(cmd, args);
  } catch {
    return '';
  }
};
// What a command printed even when it failed for some of its arguments (dpkg-query -S for
// a file no package owns).
const tryRunAll = (cmd, args) => {
  try {
    return run(cmd, args);
  } catch (e) {
    return String(e.stdout ?? '');
  }
};

// --- Debian's package database -------------------------------------------------------

// What dpkg-query -S printed, by path: "package[:arch]: /path", or "one, other: /path" for a
// file two packages share. Every answer is kept for the run: the SBOM and the provenance ask
// about the same files, and each query reads every package's file list.
const ownerOf = new Map();
function ownedBy(args) {
  const found = new Map();
  for (const line of tryRunAll('dpkg-query', ['-S', ...args]).split('\n')) {
    const at = line.indexOf(': /');
    if (at > 0) found.set(line.slice(at + 2), line.slice(0, at).split(', ')[0]);
  }
  for (const [path, name] of found) ownerOf.set(path, name);
  return found;
}

// The installed packages that own files, as dpkg names them (with :arch for multi-arch
// ones), in one query: each path as given first, then with its links resolved.
function owners(files) {
  const todo = [...new Set(files)].filter((f) => !ownerOf.has(f));
  const found = todo.length ? ownedBy(todo) : new Map();
  const resolved = new Map(todo.filter((f) => !found.has(f)).map((f) => [f, realpathSync(f)]));
  const again = resolved.size ? ownedBy([...resolved.values()]) : new Map();
  for (const f of todo) ownerOf.set(f, found.get(f) ?? again.get(resolved.get(f)) ?? null);
  return new Map(files.map((f) => [f, ownerOf.get(f) ?? undefined]));
}

// A package URL in the canonical form: packageurl-js leaves a version's "+" bare, which
// the purl spec percent-encodes (a Debian version such as 12.2.0-14+deb12u1 is full of
// them). It still parses back to the same version.
function purl(type, namespace, name, version, qualifiers) {
  const text = new PackageURL(type, namespace, name, version, qualifiers, undefined).toString();
  const at = text.lastIndexOf('@');
  const end = text.indexOf('?', at) === -1 ? text.length : text.indexOf('?', at);
  return text.slice(0, at + 1) + text.slice(at + 1, end).replace(/\+/g, '%2B') + text.slice(end);
}

// Installed packages as dpkg knows them, each name asked once, all in one query (a name
// from dpkg-query -S: "package" or "package:arch"). Where it came from is apt's to say
// (origins).
const packageCache = new Map();
function installedPackages(names) {
  const todo = [...new Set(names)].filter((n) => !packageCache.has(n));
  const fields = '${Package}\t${Version}\t${Architecture}\t${Maintainer}';
  // (With no names dpkg-query would list every package.)
  const rows = todo.length === 0 ? [] : tryRunAll('dpkg-query', ['-W', `-f=\${binary:Package}\t${fields}\n`, ...todo])
    .split('\n').map((line) => line.split('\t')).filter((row) => row.length === 5);
  for (const name of todo) {
    const found = rows.filter(([qualified, pkg, , arch]) => [qualified, pkg, `${pkg}:${arch}`].includes(name));
    // (One that matches no row or several is asked alone, and fails as dpkg-query does.)
    const [pkg, version, arch, maintainer] = found.length === 1 ? found[0].slice(1)
      : run('dpkg-query', ['-W', `-f=${fields}`, name]).split('\t');
    packageCache.set(name, { name: pkg, version, arch, maintainer });
  }
  return names.map((name) => packageCache.get(name));
}
const installedPackage = (name) => installedPackages([name])[0];

// What apt knows of installed packages: the archive each version came from and its .deb's
// SHA-256, read through python3-apt (apt_facts.py, on Debian's Python), once per package.
// apt's binary cache of its lists is kept beside the npm packages: machines that switch it
// off would have apt rebuild it for every run (seconds each); apt refreshes it when its
// lists change. A caller's APT_CONFIG chooses its own.
const aptKnown = new Map();
function aptFacts(pkgs) {
  const key = (p) => `${p.name}:${p.arch}=${p.version}`;
  const todo = [...new Map(pkgs.filter((p) => !aptKnown.has(key(p))).map((p) => [key(p), p])).values()];
  if (todo.length) {
    const args = ['-I', join(here, 'apt_facts.py')];
    if (!process.env.APT_CONFIG) {
      const cache = join(modules, '..', 'apt-cache');
      mkdirSync(cache, { recursive: true });
      args.push('--pkgcache', cache);
    }
    let answer;
    try {
      answer = execFileSync('/usr/bin/python3', args, {
        encoding: 'utf8',
        input: JSON.stringify(todo.map(({ name, arch, version }) => ({ name, arch, version }))),
        stdio: ['pipe', 'pipe', 'pipe'],
      });
    } catch (e) {
      const said = String(e.stderr ?? '').trim().split('\n').pop();
      fail(said || `cannot run /usr/bin/python3 (${e.code ?? e.status}): scripts/ensure-tools.sh records installs it`);
    }
    JSON.parse(answer).forEach((facts, i) => aptKnown.set(key(todo[i]), facts));
  }
  return (p) => aptKnown.get(key(p));
}

// Where each package's installed version came from, as apt says: the first archive whose
// index lists that version, by its Release file's Origin and Label. A version only
// /var/lib/dpkg/status knows (installed from a .deb, or from an archive since removed from
// apt's sources) has no origin. Each package also gets its purl: the namespace is the
// archive's origin, none where that is not known.
function origins(pkgs) {
  const todo = pkgs.filter((p) => p.purl === undefined);
  if (todo.length === 0) return;
  const known = aptFacts(todo);
  for (const p of todo) {
    const o = known(p).origin;
    p.origin = o ? { name: o.name, label: o.label, archive: o.archive } : null;
    const namespace = o ? o.name.toLowerCase().replace(/[^a-z0-9.-]+/g, '-') : undefined;
    p.purl = purl('deb', namespace, p.name, p.version, { arch: p.arch });
  }
}
// Said where apt does not know a package's origin.
const UNKNOWN_ORIGIN = 'unknown: apt lists no archive holding this version, only /var/lib/dpkg/status';

// Who supplied a package: the archive it came from (Debian, for Debian's).
function supplierOf(p) {
  if (!p.origin) return undefined;
  if (p.origin.name === 'Debian') return debian();
  return new CDX.Models.OrganizationalEntity({ name: p.origin.name });
}
const originOf = (p) => (p.origin ? `${p.origin.name} (${p.origin.label}): ${p.origin.archive}` : UNKNOWN_ORIGIN);

// Where each command on the PATH is, as the shell finds it ('' where it is not there), in
// one shell; each asked once a run.
const pathOf = new Map();
const whichAll = (commands) => {
  const todo = [...new Set(commands)].filter((c) => !pathOf.has(c));
  if (todo.length) {
    const said = tryRunAll('sh', ['-c', 'for c do command -v -- "$c" || echo; done', 'sh', ...todo]).split('\n');
    todo.forEach((c, i) => pathOf.set(c, said[i] ?? ''));
  }
  return commands.map((c) => pathOf.get(c));
};
const which = (command) => whichAll([command])[0];
// Each command's program: its path, or '' where it is not there.
const commandPaths = (commands) => {
  const paths = whichAll(commands.filter((c) => !c.startsWith('/')));
  let i = 0;
  return commands.map((c) => (c.startsWith('/') ? c : paths[i++])).map((p) => (p && existsSync(p) ? p : ''));
};

// The package behind each command on the PATH (or path), in one query of each kind. A
// program no installed package owns is named all the same, by its path and digest; a
// command that is not there is not one this build ran (undefined).
function commandPackages(commands) {
  const paths = commandPaths(commands);
  const owned = owners(paths.filter(Boolean));
  installedPackages([...owned.values()].filter(Boolean));
  return paths.map((path) => {
    if (!path) return undefined;
    const name = owned.get(path);
    if (name) return installedPackage(name);
    const file = realpathSync(path);
    return { name: basename(path), path: file, sha256: digest('sha256', file), unowned: true };
  });
}
const keyOf = (p) => (p.unowned ? `file:${p.path}` : p.name);
const NO_PACKAGE = 'none: no installed package owns this program';

// --- what the link map says went into the exe ------------------------------------------

// GNU ld's map lists each input section it kept with its size and file; lld's MSVC-style
// map names the library (without its folder) and member of every symbol it kept.
function linkedFiles(map) {
  const text = readFileSync(map, 'utf8');
  const files = new Set();
  if (text.includes('Publics by Value')) {
    for (const line of text.slice(text.indexOf('Publics by Value')).split('\n')) {
      const m = /^ [0-9a-f]+:[0-9a-f]+ +\S+ +[0-9a-f]+ +(?:f +)?(\S+)$/.exec(line);
      if (!m) continue;
      const from = m[1];
      if (from === '<linker-defined>' || from.endsWith('.obj') || /^libdorvane_/.test(from)) continue;
      if (from.includes(':')) files.add(`${from.slice(0, from.indexOf(':'))}.a`);
      else if (from.endsWith('.o')) files.add(from);
    }
  } else {
    const start = text.indexOf('Linker script and memory map');
    for (const line of text.slice(start).split('\n')) {
      const m = /^ *(?:\S+ +)?0x[0-9a-f]+ +(0x[0-9a-f]+) +(\/\S+)$/.exec(line);
      if (m && Number(m[1]) !== 0) files.add(normalize(m[2].replace(/\(.*$/, '')));
    }
  }
  return [...files].sort();
}

// --- facts every record shares -----------------------------------------------------------

function facts(o) {
  const project = JSON.parse(readFileSync(o.project, 'utf8'));
  const { base, files } = project.package;
  // CPack copies the ZIP into the package folder only after these records are written:
  // until then it is where --zip says.
  const file = (kind) => (kind === 'zip' && o.zip ? o.zip : join(o['package-dir'], files[kind]));
  return { project, base, files, file, exe: join(o.staged, EXE) };
}

const publisher = (project) =>
  new CDX.Models.OrganizationalEntity({ name: project.publisher, url: new Set([project.homepage]) });
const debian = () => new CDX.Models.OrganizationalEntity({ name: 'Debian', url: new Set(['https://www.debian.org/']) });

// JSON with every object's keys in order, Sigstore's own: one text for one content.
const canonical = (v) => sigstoreCore.json.canonicalize(v);

// A deterministic urn:uuid: a UUID version 5 (RFC 9562) of the name in the URL namespace.
const uuid5 = (name) => `urn:uuid:${uuid.v5(name, uuid.v5.URL)}`;

const Hash = CDX.Enums.HashAlgorithm;
const hashesOf = (path) =>
  new CDX.Models.HashDictionary([
    [Hash['SHA-256'], digest('sha256', path)],
    [Hash['SHA-512'], digest('sha512', path)],
  ]);
const property = (name, value) => new CDX.Models.Property(name, value);
// BSI TR-03183-2's fields that CycloneDX has no field of its own for.
const bsiFile = (names) => [
  ...names.map((n) => property('bsi:component:filename', n)),
  property('bsi:component:executable', 'executable'),
  property('bsi:component:archive', 'no archive'),
  property('bsi:component:structured', 'unstructured'),
];

// The licences of what the toolchain links into the exe, by who made it: the terms that
// THIRD-PARTY-NOTICES.txt gives for each.
const MINGW = 'ZPL-2.1 AND LicenseRef-mingw-w64-public-domain';
const GCC = 'GPL-3.0-or-later WITH GCC-exception-3.1';
function licenceOf(pkg) {
  if (/^mingw-w64-.*-dev$/.test(pkg.name)) return MINGW;
  if (/^gcc-mingw-w64-/.test(pkg.name)) return GCC;
  fail(`no licence known for ${pkg.name}, which put code into the exe: add it here and to the notices`);
}

// What a run's options lead to, worked out once: the SBOM and the provenance both ask.
const memo = (work) => {
  const done = new Map();
  return (o) => {
    const key = JSON.stringify(o);
    if (!done.has(key)) done.set(key, work(o));
    return done.get(key);
  };
};

// The toolchain that built the exe: the compiler, linker, archiver and resource compiler
// CMake used (--tools, comma-separated), and what g++ runs from its own folders.
const toolPrograms = memo((o) => {
  const tools = o.tools.split(',').filter((t) => t && !t.startsWith('-'));
  const cxx = tools[0];
  // (clang assembles by itself, and its linker, lld, is named among the tools.)
  for (const prog of cxx.includes('clang') ? [] : ['cc1plus', 'as', 'ld']) {
    const path = tryRun(cxx, [`-print-prog-name=${prog}`]).trim();
    if (path.startsWith('/')) tools.push(path);
  }
  return tools;
});
const toolchain = memo((o) => {
  const pkgs = new Map();
  for (const pkg of commandPackages(toolPrograms(o))) if (pkg) pkgs.set(keyOf(pkg), pkg);
  origins([...pkgs.values()].filter((p) => !p.unowned));
  return [...pkgs.values()];
});

// The ARM64 runtime is not a Debian package: toolchain/arm64-sysroot.sh builds it from the
// Debian source package that toolchain/arm64-runtime.json names.
function arm64Source() {
  const source = JSON.parse(readFileSync(join(here, '../../toolchain/arm64-runtime.json'), 'utf8'));
  return { name: source.package, version: source.version, dscSha256: source.dsc_sha256 };
}

// The ARM64 exe is linked by lld from a runtime built here, which its MSVC-style map shows;
// the x86 exes by GNU ld from Debian's packages.
const builtHere = (o) => readFileSync(o.map, 'utf8').includes('Publics by Value');

function libraryComponents(o, project) {
  const files = linkedFiles(o.map);
  if (files.length === 0) fail(`no toolchain files in ${o.map}`);
  const components = [];
  if (builtHere(o)) {
    const probe = 'libclang_rt.builtins-aarch64.a';
    const src = arm64Source();
    const crt = new CDX.Models.Component(CDX.Enums.ComponentType.Library, `${src.name}-crt-aarch64`, {
      bomRef: purl('deb', 'debian', src.name, src.version, { arch: 'source' }),
      version: src.version,
      description: `The mingw-w64 runtime, built for ARM64 from Debian's ${src.name} ${src.version} source package`,
      supplier: publisher(project),
      purl: purl('deb', 'debian', src.name, src.version, { arch: 'source' }),
    });
    crt.licenses.add(new CDX.Models.LicenseExpression(MINGW));
    crt.properties.add(property('dorvane:source-package', `${src.name} ${src.version}`));
    for (const p of bsiFile(files.filter((f) => f !== probe))) crt.properties.add(p);
    components.push(crt);
    if (files.includes(probe)) {
      const own = new CDX.Models.Component(CDX.Enums.ComponentType.Library, 'dorvane-chkstk', {
        bomRef: 'dorvane-chkstk',
        version: project.version,
        description: `DORVANE's own stack probe (toolchain/chkstk.S), linked as ${probe}`,
        supplier: publisher(project),
      });
      own.licenses.add(new CDX.Models.LicenseExpression(project.license));
      for (const p of bsiFile([probe])) own.properties.add(p);
      components.push(own);
    }
    return components;
  }
  const byPackage = new Map();
  const owned = owners(files);
  for (const f of files) {
    const name = owned.get(f);
    if (!name) fail(`no installed package owns ${f}, which the link map shows in the exe`);
    if (!byPackage.has(name)) byPackage.set(name, []);
    byPackage.get(name).push(basename(f));
  }
  origins(installedPackages([...byPackage.keys()]));
  for (const [name, names] of byPackage) {
    const pkg = installedPackage(name);
    const c = new CDX.Models.Component(CDX.Enums.ComponentType.Library, pkg.name, {
      bomRef: pkg.purl,
      version: pkg.version,
      description: `Linked into ${EXE} from the package ${pkg.name}`,
      supplier: supplierOf(pkg),
      author: pkg.maintainer,
      purl: pkg.purl,
    });
    c.licenses.add(new CDX.Models.LicenseExpression(licenceOf(pkg)));
    for (const p of [...bsiFile(names.sort()), property('dorvane:origin', originOf(pkg))]) c.properties.add(p);
    components.push(c);
  }
  return components;
}

// The DLLs the exe imports: part of Windows, not shipped. They stand inside one
// operating-system component, outside the assembly that the compositions call complete.
function windowsComponents(exe, objdump) {
  const text = run(objdump, ['-p', exe]);
  const dlls = [...new Set([...text.matchAll(/DLL Name: (\S+)/g)].map((m) => m[1].toUpperCase()))].sort();
  const windows = new CDX.Models.Component(CDX.Enums.ComponentType.OperatingSystem, 'Windows', {
    bomRef: 'windows',
    description: `Provided by Windows: imported by ${EXE} at run time, not shipped with it`,
    scope: CDX.Enums.ComponentScope.Required,
  });
  for (const dll of dlls) {
    const c = new CDX.Models.Component(CDX.Enums.ComponentType.Library, dll, {
      bomRef: `windows/${dll}`,
      description: 'A system DLL of Windows, imported at run time; not shipped',
      scope: CDX.Enums.ComponentScope.Required,
    });
    c.properties.add(property('bsi:component:filename', dll));
    windows.components.add(c);
  }
  return windows;
}

const library = () => require('@cyclonedx/cyclonedx-library/package.json');

function sbom(o) {
  const { project, files, file, exe } = facts(o);
  const bom = new CDX.Models.Bom();
  bom.metadata.timestamp = new Date(Number(o.epoch) * 1000);
  bom.metadata.lifecycles.add(CDX.Enums.LifecyclePhase.Build);
  bom.metadata.supplier = publisher(project);
  bom.metadata.manufacture = publisher(project);

  // What wrote this SBOM, and what built the exe it describes.
  const cdxlib = library();
  const tools = bom.metadata.tools.components;
  tools.add(new CDX.Models.Component(CDX.Enums.ComponentType.Application, 'dorvane-release-records', {
    bomRef: 'tool/dorvane-release-records',
    version: project.version,
    description: "DORVANE's release/sbom/records.mjs",
    supplier: publisher(project),
  }));
  tools.add(new CDX.Models.Component(CDX.Enums.ComponentType.Library, cdxlib.name, {
    bomRef: `tool/${cdxlib.name}`,
    version: cdxlib.version,
    purl: purl('npm', '@cyclonedx', 'cyclonedx-library', cdxlib.version),
  }));
  for (const pkg of toolchain(o)) {
    if (pkg.unowned) {
      const c = new CDX.Models.Component(CDX.Enums.ComponentType.Application, pkg.name, {
        bomRef: `tool/file:${pkg.path}`,
        hashes: new CDX.Models.HashDictionary([[Hash['SHA-256'], pkg.sha256]]),
      });
      c.properties.add(property('dorvane:path', pkg.path));
      c.properties.add(property('dorvane:package', NO_PACKAGE));
      tools.add(c);
      continue;
    }
    const c = new CDX.Models.Component(CDX.Enums.ComponentType.Application, pkg.name, {
      bomRef: `tool/${pkg.purl}`,
      version: pkg.version,
      supplier: supplierOf(pkg),
      purl: pkg.purl,
    });
    c.properties.add(property('dorvane:origin', originOf(pkg)));
    tools.add(c);
  }

  const app = new CDX.Models.Component(CDX.Enums.ComponentType.Application, project.name.toUpperCase(), {
    bomRef: 'dorvane',
    version: project.version,
    description: project.description,
    supplier: publisher(project),
    hashes: hashesOf(exe),
  });
  app.licenses.add(new CDX.Models.LicenseExpression(project.license));
  for (const p of bsiFile([EXE])) app.properties.add(p);
  app.externalReferences.add(new CDX.Models.ExternalReference(project.homepage, CDX.Enums.ExternalReferenceType.Website));
  app.externalReferences.add(new CDX.Models.ExternalReference(project.repository, CDX.Enums.ExternalReferenceType.VCS));
  // The forms it is distributed in, by file name: where they are served is not known here.
  for (const kind of ['zip', 'msi']) {
    if (!existsSync(file(kind))) continue;
    app.externalReferences.add(new CDX.Models.ExternalReference(files[kind], CDX.Enums.ExternalReferenceType.Distribution, {
      hashes: hashesOf(file(kind)),
      comment: kind === 'zip' ? `ZIP archive holding ${EXE}` : `Windows Installer package holding ${EXE}`,
    }));
  }
  bom.metadata.component = app;

  const libs = libraryComponents(o, project);
  const windows = windowsComponents(exe, o.objdump);
  for (const c of [...libs, windows]) bom.components.add(c);
  for (const c of libs) app.dependencies.add(c.bomRef);
  for (const dll of windows.components) app.dependencies.add(dll.bomRef);

  const factory = new CDX.Serialize.JSON.Normalize.Factory(spec);
  const json = JSON.parse(new CDX.Serialize.JsonSerializer(factory).serialize(bom, { sortLists: true }));
  // Every bom-ref has its dependency entry, the leaves with none. The library writes
  // entries only for what depends on something.
  const refs = ['dorvane', ...libs.map((c) => c.bomRef.value), 'windows', ...[...windows.components].map((c) => c.bomRef.value)];
  const deps = new Map((json.dependencies || []).map((d) => [d.ref, d]));
  json.dependencies = refs.sort().map((ref) => deps.get(ref) || { ref });
  // What is shipped, the exe and the code linked into it, is listed completely; Windows
  // and its DLLs are the platform's, so their make-up is not this document's to state.
  json.compositions = [
    { aggregate: 'complete', assemblies: ['dorvane', ...libs.map((c) => c.bomRef.value)].sort(), dependencies: ['dorvane'] },
    { aggregate: 'unknown', assemblies: ['windows'] },
  ];
  // The serial number names this content: the same document gives the same one (a
  // rebuild), any other (the signed exe's, another commit's) another.
  delete json.serialNumber;
  const serialNumber = uuid5(canonical(json));
  const { bomFormat, specVersion, ...rest } = json;
  writeFileSync(file('sbom'), JSON.stringify({ bomFormat, specVersion, serialNumber, ...rest }, null, 2) + '\n');
}

// --- provenance ----------------------------------------------------------------------------

// What the provenance names besides the toolchain: the files the build used (the runtime
// linked in, the headers compiled against: ninja's record of every header each object
// read) and the commands that made the packages.
const provenanceInputs = memo((o) => {
  const used = builtHere(o) ? [] : linkedFiles(o.map);
  if (o.generator === 'Ninja') {
    // The product's own objects only (CMakeFiles/dorvane*), not the tests'.
    let product = false;
    for (const line of tryRun('ninja', ['-C', o.build, '-t', 'deps']).split('\n')) {
      if (/^\S/.test(line)) product = line.startsWith('CMakeFiles/dorvane');
      else if (product && line.trim().startsWith('/usr/')) used.push(line.trim());
    }
  }
  // Every program that writes a byte of what ships, and what it loads to write them:
  // CPack's ZIP library and zlib, msibuild's MSI library, the Perl modules
  // strip-nondeterminism rewrites the ZIP with, and Debian's Python, which runs the MSI step
  // (its codes, its tables, and through the GObject bindings of libmsi and libgcab its
  // summary and cabinet).
  const commands = ['cmake', 'ninja', 'msibuild', 'node', 'strip-nondeterminism', 'perl', o.objdump,
    '/usr/bin/python3', realpathSync('/usr/bin/python3')];
  for (const c of ['cmake', 'msibuild']) {
    const path = which(c);
    if (!path) continue;
    for (const m of tryRun('ldd', [path]).matchAll(/ => (\/\S*\/lib(?:archive|z|msi)\.so\.\d+) /g)) used.push(m[1]);
  }
  const bindings = ['*/girepository-1.0/Libmsi-1.0.typelib', '*/girepository-1.0/GCab-1.0.typelib', '*/libgcab-1.0.so.0',
    '*/dist-packages/gi/__init__.py'];
  used.push(...ownedBy(bindings).keys());
  used.push(...tryRun('perl', ['-MFile::StripNondeterminism', '-MFile::StripNondeterminism::handlers::zip', '-e',
    'print join "\\n", values %INC']).split('\n').filter((f) => f.startsWith('/')));
  if (builtHere(o)) commands.push('clang-14', 'ld.lld-14', 'llvm-ar-14', 'make', 'dpkg-source');
  if (o.signed === 'yes') commands.push('osslsigncode', 'openssl');
  // A token's key signs through OpenSSL's pkcs11 engine and the token's module.
  if (o['sign-tools']) commands.push(...o['sign-tools'].split(','));
  return { used: [...new Set(used)], commands };
});

// Every question a run puts to dpkg and apt, put at once before anything is written: each
// dpkg-query reads every package's records and each apt start its whole cache (a tenth to a
// third of a second), and the answers, kept above, are the ones each record asks for.
function askAtOnce(o, kinds) {
  const { used, commands } = kinds.includes('provenance') ? provenanceInputs(o) : { used: [], commands: [] };
  const files = [...commandPaths([...toolPrograms(o), ...commands]).filter(Boolean), ...used];
  if (!builtHere(o)) files.push(...linkedFiles(o.map));
  aptFacts(installedPackages([...new Set(owners(files).values())].filter(Boolean)));
}

function provenance(o) {
  const { project, base, files, file, exe } = facts(o);
  const subject = [[`${base}/${EXE}`, exe]];
  for (const kind of ['zip', 'msi', 'sbom']) {
    if (existsSync(file(kind))) subject.push([files[kind], file(kind)]);
  }
  const pkgs = new Map(toolchain(o).map((p) => [keyOf(p), p]));
  const add = (pkg) => pkg && pkgs.set(keyOf(pkg), pkg);
  const { used, commands } = provenanceInputs(o);
  installedPackages([...new Set(owners(used).values())].filter(Boolean)).forEach(add);
  commandPackages(commands).forEach(add);

  const deps = [];
  if (o.commit) deps.push({ uri: `git+${project.repository}`, digest: { gitCommit: o.commit } });
  const sorted = [...pkgs.values()].sort((a, b) => keyOf(a).localeCompare(keyOf(b)));
  const installed = sorted.filter((p) => !p.unowned);
  origins(installed);
  // The .debs' checksums as the archive published them, where apt still lists them.
  const known = aptFacts(installed);
  const sha256 = (p) => known(p).sha256 ?? undefined;
  for (const p of sorted) {
    if (p.unowned) {
      deps.push({ uri: `file://${p.path}`, name: p.name, digest: { sha256: p.sha256 }, annotations: { package: NO_PACKAGE } });
      continue;
    }
    const d = { uri: p.purl, name: p.name };
    if (sha256(p)) d.digest = { sha256: sha256(p) };
    d.annotations = { version: p.version, arch: p.arch, origin: originOf(p) };
    if (!sha256(p)) d.annotations.digest = 'unknown: apt lists no .deb of this installed version';
    deps.push(d);
  }
  if (builtHere(o)) {
    const src = arm64Source();
    deps.push({
      uri: purl('deb', 'debian', src.name, src.version, { arch: 'source' }),
      name: `${src.name} (source)`,
      digest: { sha256: src.dscSha256 },
      annotations: { version: src.version, note: 'the .dsc of the source package the ARM64 runtime is built from' },
    });
  }
  // The npm packages that wrote the SBOM and the Sigstore bundle, by the lock file's own
  // integrity hashes.
  const lock = JSON.parse(readFileSync(join(here, 'package-lock.json'), 'utf8'));
  for (const [path, entry] of Object.entries(lock.packages)) {
    if (!path || entry.optional || !entry.integrity) continue;
    const name = path.replace(/^.*node_modules\//, '');
    const [algo, b64] = entry.integrity.split('-');
    const scope = name.startsWith('@') ? name.indexOf('/') : -1;
    deps.push({
      uri: purl('npm', scope < 0 ? undefined : name.slice(0, scope), name.slice(scope + 1), entry.version),
      name,
      digest: { [algo]: Buffer.from(b64, 'base64').toString('hex') },
    });
  }

  const statement = {
    _type: contract.records.statement_type,
    subject: subject.map(([name, path]) => ({ name, digest: { sha256: digest('sha256', path) } })),
    predicateType: contract.records.predicate_type,
    predicate: {
      buildDefinition: {
        buildType: new URL('build-types/cmake-preset/v1', project.homepage).toString(),
        externalParameters: {
          source: o.commit ? { uri: `git+${project.repository}`, commit: o.commit } : { uri: `git+${project.repository}` },
          preset: o.preset || '',
          signed: o.signed === 'yes',
        },
        internalParameters: { arch: project.package.arch, sourceDateEpoch: Number(o.epoch), version: project.version },
        resolvedDependencies: deps,
      },
      runDetails: { builder: { id: o.builder } },
    },
  };
  writeFileSync(file('provenance'), JSON.stringify(statement, null, 2) + '\n');
}

// --- the signed envelope ---------------------------------------------------------------------

// DSSE's pre-authentication encoding, what the signature covers: Sigstore's own (the
// verifiers users run compute it so).
const pae = (type, body) => sigstoreCore.dsse.preAuthEncoding(type, body);

const payloadType = contract.records.payload_type;

// The signer's public key as release/certificate.py writes it from the certificate it
// vetted (the certificate file has one reader, by the one PEM rule), and its keyid: the
// SHA-256 of its SPKI DER.
const publicKey = (file) => {
  try {
    return createPublicKey(readFileSync(file));
  } catch {
    return fail(`${file} holds no public key`);
  }
};
const keyidOf = (key) => createHash('sha256').update(key.export({ type: 'spki', format: 'der' })).digest('hex');

// The envelope of a signature that release/sign.sh made of pae's output, named by the
// signer's keyid: a signature by any other key than KEY's is refused here.
function envelope(provenanceFile, sigFile, keyFile, out) {
  const body = readFileSync(provenanceFile);
  const sig = readFileSync(sigFile);
  const signer = publicKey(keyFile);
  if (!verify('sha256', pae(payloadType, body), signer, sig)) fail(`the key ${keyFile} does not verify the envelope's signature`);
  if (signer.asymmetricKeyType !== 'rsa') fail('the envelope is signed with RSA keys only (their signatures are deterministic)');
  const env = { payloadType, payload: body.toString('base64'), signatures: [{ keyid: keyidOf(signer), sig: sig.toString('base64') }] };
  writeFileSync(out, JSON.stringify(env) + '\n');
}

// --- the envelope as a Sigstore bundle ----------------------------------------------------------

// Sigstore's verifiers take a bundle, not a bare envelope: the envelope's own payload, type and
// signature in a bundle v0.3 that names the key by the envelope's keyid and holds no
// transparency-log entry or timestamp, so it verifies offline with the publisher's key alone.
// Written by Sigstore's own serializer (fixed key order, nothing from the clock), then read
// back and verified with Sigstore's verifier before it is kept.
function sigstore() {
  try {
    return { bundle: require('@sigstore/bundle'), verify: require('@sigstore/verify') };
  } catch {
    return fail(`no Sigstore packages in ${modules}: install release/sbom/package-lock.json's (scripts/ensure-tools.sh records)`);
  }
}

function bundle(envelopeFile, keyFile, out) {
  const sig = sigstore();
  const env = JSON.parse(readFileSync(envelopeFile, 'utf8'));
  if (env.signatures?.length !== 1) fail(`${envelopeFile}: a bundle carries one signature, the envelope has ${env.signatures?.length}`);
  const parsed = sig.bundle.envelopeFromJSON(env);
  const keyid = parsed.signatures[0].keyid;
  const key = publicKey(keyFile);
  if (keyidOf(key) !== keyid) fail(`the key ${keyFile} is not the key ${keyid} that signed ${envelopeFile}`);
  const made = sig.bundle.toDSSEBundle({
    artifact: parsed.payload,
    artifactType: parsed.payloadType,
    signature: parsed.signatures[0].sig,
    keyHint: keyid,
  });
  const text = JSON.stringify(sig.bundle.bundleToJSON(made)) + '\n';
  // What a user's verifier will read: the text, parsed as a bundle, its envelope the one
  // given, its signature that key's.
  const read = sig.bundle.bundleFromJSON(JSON.parse(text));
  if (read.mediaType !== contract.records.bundle_media_type) fail(`the bundle's media type is ${read.mediaType}`);
  if (canonical(JSON.parse(text).dsseEnvelope) !== canonical(env)) fail(`the bundle's envelope is not ${envelopeFile}'s`);
  const finder = (hint) => {
    if (hint !== keyid) throw new Error(`no key ${hint}`);
    return { publicKey: key, validFor: () => true };
  };
  const trust = sig.verify.toTrustMaterial({ certificateAuthorities: [], timestampAuthorities: [], tlogs: [], ctlogs: [] }, finder);
  try {
    new sig.verify.Verifier(trust, { tlogThreshold: 0, ctlogThreshold: 0, tsaThreshold: 0 }).verify(sig.verify.toSignedEntity(read));
  } catch (e) {
    fail(`the bundle of ${envelopeFile} does not verify with its key: ${e.message}`);
  }
  writeFileSync(out, text);
}

// --- checking an SBOM ----------------------------------------------------------------------------

async function check(sbomFile) {
  const text = readFileSync(sbomFile, 'utf8');
  const problems = [];
  const invalid = await new CDX.Validation.JsonStrictValidator(spec.version).validate(text);
  if (invalid !== null) problems.push(`not valid CycloneDX 1.6: ${JSON.stringify(invalid).slice(0, 400)}`);
  const bom = JSON.parse(text);
  const all = [bom.metadata?.component, ...(bom.components || [])];
  for (let i = 0; i < all.length; i++) if (all[i]?.components) all.push(...all[i].components);
  const parses = (c, what, text, parse) => {
    try {
      parse(text);
    } catch (e) {
      problems.push(`${c['bom-ref']}: ${what} '${text}' does not parse: ${e.message}`);
    }
  };
  for (const c of all.filter(Boolean)) {
    for (const l of c.licenses || []) if (l.expression) parses(c, 'licence', l.expression, parseSpdx);
    if (c.purl) parses(c, 'purl', c.purl, (text) => PackageURL.fromString(text));
  }
  for (const p of problems) process.stdout.write(`${p}\n`);
  process.exit(problems.length ? 1 : 0);
}

const [command, ...rest] = process.argv.slice(2);
if (['records', 'sbom', 'provenance'].includes(command)) {
  const o = options(rest);
  const kinds = command === 'records' ? ['sbom', 'provenance'] : [command];
  askAtOnce(o, kinds);
  if (kinds.includes('sbom')) sbom(o);
  if (kinds.includes('provenance')) provenance(o);
}
else if (command === 'pae' && rest.length === 2) writeFileSync(rest[1], pae(payloadType, readFileSync(rest[0])));
else if (command === 'envelope' && rest.length === 4) envelope(...rest);
else if (command === 'bundle' && rest.length === 3) bundle(...rest);
else if (command === 'check' && rest.length === 1) await check(rest[0]);
else fail('usage: records.mjs records|sbom|provenance OPTIONS | pae PROVENANCE OUT | envelope PROVENANCE SIG KEY OUT | bundle ENVELOPE KEY OUT | check SBOM');
