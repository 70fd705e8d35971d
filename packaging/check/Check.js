// StavoraCheck.cmd's driver: registers x64\Stavora.dll and x86\Stavora.dll
// from the folder given (per machine as an administrator, per user
// otherwise), points StavoraPath at a temporary INI file, runs Client.vbs
// and Client.js under each script host that can run here, then puts back
// everything it changed and prints "N passed, M failed". Exit code 0 only
// when nothing failed.
//
// One run at a time: a run holds %TEMP%\StavoraCheck.lock open for as long as
// it lasts, and a second run that cannot open it says so and stops.
//
// Before each change it appends the step that undoes it to an undo record
// (%TEMP%\StavoraCheck\undo.txt); the cleanup replays that record, newest
// step first, whatever happened. Each step acts only while the state is
// still the one this check left: the class is unregistered only while it
// names the DLL this check registered, a value is removed or put back only
// while it holds what this check wrote, a key is removed only while it is
// empty. Otherwise the step is skipped with a line saying why. A run that was
// killed leaves the record; the next run replays it, after making sure that
// no installation of Stavora is registered ("/undo" replays it alone,
// "/forget" drops it without acting).
//
// Usage: cscript //nologo //E:JScript Check.js <folder of StavoraCheck.cmd> <start marker> [/undo|/forget]
// STAVORA_CHECK_FAIL=<step> (test hook) makes the named step fail;
// STAVORA_CHECK_FAIL=<step>:kill ends the run there at once, undoing nothing;
// STAVORA_CHECK_FAIL=<step>:pause creates %TEMP%\StavoraCheck\paused there and
// waits (up to two minutes) until %TEMP%\StavoraCheck\continue exists.
var CLSID = "{5D3E8C21-9B47-4F0A-8C6E-2B71D4A9E013}";
// The configuration key and the keys above it, outermost first.
var CONFIG_KEYS = ["HKLM\\SOFTWARE\\Kestrane L.P.", "HKLM\\SOFTWARE\\Kestrane L.P.\\Vendara",
                   "HKLM\\SOFTWARE\\Kestrane L.P.\\Vendara\\Settings"];
var SETTINGS = CONFIG_KEYS[2];
var UNICODE = -1, FOR_READING = 1, FOR_APPENDING = 8;

var shell = new ActiveXObject("WScript.Shell");
var fso = new ActiveXObject("Scripting.FileSystemObject");
var base = fso.GetAbsolutePathName(WScript.Arguments(0));
if (WScript.Arguments.length > 1) fso.CreateTextFile(WScript.Arguments(1), true).Close();
var action = WScript.Arguments.length > 2 ? WScript.Arguments(2).toLowerCase() : "";
// (ExpandEnvironmentStrings is not asked: under Wine its result ends in a NUL.)
var windir = fso.GetSpecialFolder(0).Path;
var tempDir = fso.GetSpecialFolder(2).Path;
var stateDir = tempDir + "\\StavoraCheck";
var undoFile = stateDir + "\\undo.txt";
var lockFile = tempDir + "\\StavoraCheck.lock";
var exportFile = tempDir + "\\StavoraCheck-export.reg";
var passed = 0, failed = 0, skipped = [];
var failHook = String(shell.Environment("PROCESS")("STAVORA_CHECK_FAIL") || "");
var lock = null;

function pass(what) { passed++; WScript.Echo("PASS: " + what); }
function fail(what) { failed++; WScript.Echo("FAIL: " + what); }
function skip(what) { WScript.Echo("SKIPPED: " + what); }
function quote(text) { return "\"" + text + "\""; }
function finish() {
  for (var i = 0; i < skipped.length; i++) WScript.Echo("SKIPPED: " + skipped[i]);
  WScript.Echo(passed + " passed, " + failed + " failed");
  releaseLock();
  WScript.Quit(failed === 0 ? 0 : 1);
}

// Runs a program hidden and waits; its exit code, or -1 when it cannot start.
function run(commandLine) {
  try { return shell.Run(commandLine, 0, true); } catch (e) { return -1; }
}

function sleep(ms) {
  try { WScript.Sleep(ms); } catch (e) {
    var deadline = new Date().getTime() + ms;
    while (new Date().getTime() < deadline) {}
  }
}

// The test hook: called after each step that changes the machine.
function stepDone(step) {
  if (failHook === step) throw new Error("step \"" + step + "\" failed (STAVORA_CHECK_FAIL)");
  if (failHook === step + ":kill") {
    WScript.Echo("KILLED after step \"" + step + "\" (STAVORA_CHECK_FAIL)");
    WScript.Quit(3);
  }
  if (failHook === step + ":pause") {
    fso.CreateTextFile(stateDir + "\\paused", true).Close();
    for (var waited = 0; waited < 120000 && !fso.FileExists(stateDir + "\\continue"); waited += 200) sleep(200);
    if (fso.FileExists(stateDir + "\\continue")) fso.DeleteFile(stateDir + "\\continue");
    fso.DeleteFile(stateDir + "\\paused");
  }
}

// ---- One run at a time -------------------------------------------------------
// The lock file is held open for writing, which the file system object does
// without sharing: a second open fails while this run lives, and the handle
// goes with the process however it ends.
function takeLock() {
  try {
    lock = fso.OpenTextFile(lockFile, FOR_APPENDING, true);
    lock.WriteLine("StavoraCheck running since " + new Date());
    return true;
  } catch (e) {
    return false;
  }
}
function releaseLock() {
  if (lock === null) return;
  lock.Close();
  lock = null;
  // Another run may hold it by now; then it stays.
  try { fso.DeleteFile(lockFile); } catch (e) {}
}

// The 64-bit system folder as this host sees it (a 32-bit host on 64-bit
// Windows reaches it through Sysnative).
var is64BitWindows = fso.FolderExists(windir + "\\SysWOW64");
var hostIs32On64 = shell.Environment("PROCESS")("PROCESSOR_ARCHITEW6432") !== "";
var nativeDir = windir + (hostIs32On64 ? "\\Sysnative" : "\\System32");
var reg = quote(nativeDir + "\\reg.exe");

var kinds = [];
if (is64BitWindows) {
  kinds.push({ name: "64-bit", dir: nativeDir, dll: base + "\\x64\\Stavora.dll", view: "/reg:64", bits: "64" });
  kinds.push({ name: "32-bit", dir: windir + "\\SysWOW64", dll: base + "\\x86\\Stavora.dll", view: "/reg:32", bits: "32" });
} else {
  kinds.push({ name: "32-bit", dir: windir + "\\System32", dll: base + "\\x86\\Stavora.dll", view: "", bits: "32" });
}
// The editor-style save runs a helper that this Windows can start.
var replaceFile = base + "\\check\\ReplaceFile" + (is64BitWindows ? "64" : "32") + ".exe";

// A program of that bitness starts here at all.
function canRun(kind) { return run(quote(kind.dir + "\\cmd.exe") + " /c exit 7") === 7; }

// Administrator: a key can be made (and is removed again) under HKLM.
function isAdministrator() {
  var probe = quote("HKLM\\SOFTWARE\\StavoraCheckProbe");
  if (run(reg + " add " + probe + " /f") !== 0) return false;
  run(reg + " delete " + probe + " /f");
  return true;
}

// Whether `key` (with value `value`, when given) exists in `view`.
function regExists(key, value, view) {
  return run(reg + " query " + quote(key) + (value ? " /v " + value : "") + " " + view) === 0;
}

// ---- Reading the registry exactly --------------------------------------------
// "reg export" writes UTF-16 text with every value's type and data, so the
// comparisons below see paths and values outside the console's code page as
// they are.
function unescapeRegText(text) { return text.replace(/\\(.)/g, "$1"); }

function decodeHexString(hex) {
  var bytes = hex.replace(/[\\\s]/g, "").split(",");
  var text = "";
  for (var i = 0; i + 1 < bytes.length; i += 2) {
    text += String.fromCharCode(parseInt(bytes[i], 16) | (parseInt(bytes[i + 1], 16) << 8));
  }
  return text.replace(/\u0000+$/, "");
}

// The keys of a .reg text, each { name, values: [{ name, kind, text, lines }] }
// in file order; kind is "sz", "expand_sz" or "other".
function parseRegText(text) {
  var lines = text.split(/\r?\n/);
  var keys = [], key = null;
  for (var i = 0; i < lines.length; i++) {
    var line = lines[i];
    if (line.charAt(0) === "[" && line.charAt(line.length - 1) === "]") {
      key = { name: line.substring(1, line.length - 1), values: [] };
      keys.push(key);
      continue;
    }
    if (key === null || (line.charAt(0) !== "@" && line.charAt(0) !== "\"")) continue;
    var name, data;
    if (line.charAt(0) === "@") {
      name = "";
      data = line.substring(2);
    } else {
      var j = 1;
      while (j < line.length && line.charAt(j) !== "\"") j += line.charAt(j) === "\\" ? 2 : 1;
      name = unescapeRegText(line.substring(1, j));
      data = line.substring(j + 2);
    }
    var raw = [line];
    // Binary forms go on over lines that end in a backslash.
    if (data.charAt(0) !== "\"") {
      while (/\\$/.test(lines[i]) && i + 1 < lines.length) raw.push(lines[++i]);
    }
    var value = { name: name, kind: "other", text: raw.join("\n"), lines: raw };
    if (data.charAt(0) === "\"") {
      value.kind = "sz";
      value.text = unescapeRegText(data.substring(1, data.length - 1));
    } else if (data.indexOf("hex(2):") === 0) {
      value.kind = "expand_sz";
      value.text = decodeHexString(raw.join("").substring(raw[0].indexOf("hex(2):") + 7));
    }
    key.values.push(value);
  }
  return keys;
}

// The key (with what is below it) as parsed .reg text; null when it does not
// exist in that view or cannot be read.
function exportKey(key, view) {
  if (fso.FileExists(exportFile)) fso.DeleteFile(exportFile);
  if (run(reg + " export " + quote(key) + " " + quote(exportFile) + " /y " + view) !== 0 ||
      !fso.FileExists(exportFile)) {
    return null;
  }
  var text = fso.OpenTextFile(exportFile, FOR_READING, false, UNICODE).ReadAll();
  fso.DeleteFile(exportFile);
  return parseRegText(text);
}

// A value of a key: undefined when the key is missing, null when the value is.
function readValue(key, name, view) {
  var keys = exportKey(key, view);
  if (keys === null || keys.length === 0) return undefined;
  for (var i = 0; i < keys[0].values.length; i++) {
    if (keys[0].values[i].name.toLowerCase() === name.toLowerCase()) return keys[0].values[i];
  }
  return null;
}

function describe(value) {
  if (value === undefined) return "nothing (the key is gone)";
  if (value === null) return "nothing (the value is gone)";
  var type = { sz: "REG_SZ ", expand_sz: "REG_EXPAND_SZ " }[value.kind] || "";
  return type + quote(value.text);
}

// Whether a value still holds the REG_SZ text this check wrote.
function holdsWritten(value, written) { return value !== undefined && value !== null && value.kind === "sz" && value.text === written; }

function classKey(root) { return root + "\\SOFTWARE\\Classes\\CLSID\\" + CLSID + "\\InprocServer32"; }

// The file the class names in one root and view: undefined when the class is
// not registered there.
function registeredFile(root, view) {
  var value = readValue(classKey(root), "", view);
  if (value === undefined) return undefined;
  return value === null ? "" : value.text;
}

function samePath(a, b) { return String(a).toLowerCase() === String(b).toLowerCase(); }

// ---- The undo record ---------------------------------------------------------
// One step a line, fields separated by tabs; each names what this check did,
// so that its undo can tell whether the state is still that:
//   unregister <regsvr32.exe> <switches> <DLL> <HKLM|HKCU> <view>
//   createdkey <view> <key>                        a key this run created
//   setvalue <view> <key> <name> <text written>    a REG_SZ value this run created
//   replacedvalue <view> <key> <name> <text written> <.reg file of the value before>
//   deletefolder <folder>
function record(fields) {
  if (!fso.FolderExists(stateDir)) fso.CreateFolder(stateDir);
  var file = fso.OpenTextFile(undoFile, FOR_APPENDING, true, UNICODE);
  file.WriteLine(fields.join("\t"));
  file.Close();
}

function readRecord() {
  if (!fso.FileExists(undoFile)) return [];
  var lines = fso.OpenTextFile(undoFile, FOR_READING, false, UNICODE).ReadAll().split(/\r?\n/);
  var steps = [];
  for (var i = 0; i < lines.length; i++) if (lines[i] !== "") steps.push(lines[i].split("\t"));
  return steps;
}

// One undo step: { outcome: "done" | "skipped" | "failed", what }.
function undoStep(fields) {
  var outcome = function (kind, what) { return { outcome: kind, what: what }; };
  switch (fields[0]) {
    case "unregister": {
      var dll = fields[3], root = fields[4], view = fields[5];
      var what = "unregister " + dll + " (" + root + " " + (view || "registry") + ")";
      var current = registeredFile(root, view);
      if (current === undefined) return outcome("skipped", what + ": the class is not registered any more");
      if (!samePath(current, dll)) {
        return outcome("skipped", what + ": the class now names " + quote(current) +
                       ", which this check did not register; that registration is left alone");
      }
      var code = run(quote(fields[1]) + " /s /u" + fields[2] + " " + quote(dll));
      // A DLL that is gone cannot be unregistered by itself: its keys then
      // stay, and the run says so.
      return outcome(code === 0 ? "done" : "failed", what + (code === 0 ? "" : ": regsvr32 exit code " + code));
    }
    case "createdkey": {
      var view = fields[1], key = fields[2];
      var what = "remove " + key + " " + view + ", which this check created";
      var keys = exportKey(key, view);
      if (keys === null) return outcome("skipped", what + ": it is gone already");
      if (keys.length !== 1 || keys[0].values.length !== 0) {
        return outcome("skipped", what + ": it now holds keys or values this check did not write; it is kept");
      }
      return outcome(run(reg + " delete " + quote(key) + " /f " + view) === 0 ? "done" : "failed", what);
    }
    case "setvalue":
    case "replacedvalue": {
      var view = fields[1], key = fields[2], name = fields[3], written = fields[4];
      var restoring = fields[0] === "replacedvalue";
      var what = (restoring ? "put back " : "remove ") + name + " under " + key + " " + view;
      var current = readValue(key, name, view);
      if (!holdsWritten(current, written)) {
        return outcome("skipped", what + ": it holds " + describe(current) + ", not this check's " +
                       quote(written) + "; left alone");
      }
      var ok = restoring ? run(reg + " import " + quote(fields[5]) + " " + view) === 0
                         : run(reg + " delete " + quote(key) + " /v " + quote(name) + " /f " + view) === 0;
      return outcome(ok ? "done" : "failed", what);
    }
    case "deletefolder":
      try {
        if (fso.FolderExists(fields[1])) fso.DeleteFolder(fields[1], true);
        return outcome("done", "remove " + fields[1]);
      } catch (e) {
        return outcome("failed", "remove " + fields[1] + ": " + e.message);
      }
  }
  return outcome("failed", "unknown undo step: " + fields.join(" "));
}

// Replays the record, newest step first. Steps that failed stay in it; steps
// done or skipped leave it.
function replayUndoRecord() {
  var steps = readRecord();
  var left = [];
  for (var i = steps.length - 1; i >= 0; i--) {
    var result = undoStep(steps[i]);
    if (result.outcome === "done") pass("undo: " + result.what);
    else if (result.outcome === "skipped") skip("undo: " + result.what);
    else { fail("undo: " + result.what); left.unshift(steps[i]); }
  }
  if (fso.FileExists(undoFile)) fso.DeleteFile(undoFile);
  for (var i = 0; i < left.length; i++) record(left[i]);
  if (left.length === 0 && fso.FolderExists(stateDir)) {
    try { fso.DeleteFolder(stateDir, true); } catch (e) { fail("remove " + stateDir + ": " + e.message); }
  }
  return left.length === 0;
}

// ---- Start -------------------------------------------------------------------
if (action !== "" && action !== "/undo" && action !== "/forget") {
  fail("unknown argument " + quote(WScript.Arguments(2)) + "; StavoraCheck takes /undo or /forget");
  finish();
}
if (!takeLock()) {
  fail("another StavoraCheck is running for this user (it holds " + lockFile + "); wait for it to end");
  finish();
}

var pending = readRecord();
if (action === "/forget") {
  if (pending.length === 0) {
    WScript.Echo("Nothing to forget.");
  } else {
    for (var i = 0; i < pending.length; i++) WScript.Echo("forgotten: " + pending[i].join(" "));
    try {
      fso.DeleteFolder(stateDir, true);
      WScript.Echo("The undo record of an earlier run is dropped; nothing was undone.");
    } catch (e) {
      fail("remove " + stateDir + ": " + e.message);
    }
  }
  finish();
}
if (action === "/undo") {
  if (pending.length === 0) {
    WScript.Echo("Nothing to undo.");
  } else {
    WScript.Echo("Undoing what an earlier self-check left, where it is still its own.");
    replayUndoRecord();
  }
  finish();
}

// Never touch an installation: stop when the class is registered already,
// unless it names the very DLL that an unfinished run of this check
// registered (its record then undoes that registration first).
function registeredByRecord(root, view, file) {
  for (var i = 0; i < pending.length; i++) {
    var s = pending[i];
    if (s[0] === "unregister" && s[4] === root && s[5] === view && samePath(s[3], file)) return true;
  }
  return false;
}
var roots = ["HKLM", "HKCU"];
for (var i = 0; i < kinds.length; i++) {
  for (var r = 0; r < roots.length; r++) {
    var file = registeredFile(roots[r], kinds[i].view);
    if (file === undefined || registeredByRecord(roots[r], kinds[i].view, file)) continue;
    fail("Stavora is registered on this machine already (" + kinds[i].name + ", " + roots[r] + ": " +
         quote(file) + "); the self-check never touches an installation: uninstall or unregister it first");
    if (pending.length > 0) {
      WScript.Echo("An earlier self-check did not finish; its undo record is kept in " + undoFile +
                   ". \"StavoraCheck /undo\" undoes what is still its own, \"StavoraCheck /forget\" drops it.");
    }
    finish();
  }
}
if (pending.length > 0) {
  WScript.Echo("An earlier self-check did not finish; undoing what it changed first.");
  if (!replayUndoRecord()) {
    fail("the earlier run's changes could not all be undone; the steps left are in " + undoFile);
    finish();
  }
}

var admin = isAdministrator();
var mode = admin ? "" : " /n /i:user";
var root = admin ? "HKLM" : "HKCU";
WScript.Echo("Stavora self-check in " + base + ": registering " + (admin ? "per machine" : "per user (not an administrator)"));

var work = stateDir + "\\work";
var iniDir = work + "\\ini";
var stageDir = work + "\\stage";
var ini = iniDir + "\\Stavora.ini";
var INI_TEXT = "[Database]\r\nServer=db01.example\r\nPort=5432\r\n[Paths]\r\nLogs=C:\\Logs\r\n";

// Points StavoraPath of one view at the temporary INI file, after recording
// how to undo exactly that: the keys this run creates, and the value it
// creates or replaces (with the value before, type and text, saved as a .reg
// file of that one value).
function pointConfiguration(k) {
  var missing = false;
  for (var c = 0; c < CONFIG_KEYS.length; c++) {
    if (!missing && !regExists(CONFIG_KEYS[c], null, k.view)) missing = true;
    if (missing) record(["createdkey", k.view, CONFIG_KEYS[c]]);
  }
  var before = missing ? null : exportKey(SETTINGS, k.view);
  if (!missing && before === null) throw new Error("reg export of " + SETTINGS + " " + k.view + " failed; StavoraPath is left alone");
  var old = null;
  if (before !== null) {
    for (var v = 0; v < before[0].values.length; v++) {
      if (before[0].values[v].name.toLowerCase() === "stavorapath") old = before[0].values[v];
    }
  }
  if (old === null) {
    record(["setvalue", k.view, SETTINGS, "StavoraPath", ini]);
  } else {
    var saved = stateDir + "\\StavoraPath-" + k.bits + ".reg";
    var file = fso.CreateTextFile(saved, true, true);
    file.Write("Windows Registry Editor Version 5.00\r\n\r\n[" + before[0].name + "]\r\n" + old.lines.join("\r\n") + "\r\n\r\n");
    file.Close();
    record(["replacedvalue", k.view, SETTINGS, "StavoraPath", ini, saved]);
  }
  if (run(reg + " add " + quote(SETTINGS) + " /v StavoraPath /t REG_SZ /d " + quote(ini) + " /f " + k.view) !== 0) {
    fail("set StavoraPath in the " + k.name + " registry view");
  }
  stepDone("configure " + k.bits);
}

var engineSwitchIgnored = {};
function runClients(k) {
  var clients = [{ file: "Client.vbs", engine: "VBScript" }, { file: "Client.js", engine: "JScript" }];
  for (var c = 0; c < clients.length; c++) {
    var label = k.name + " " + clients[c].engine;
    // The engine's ProgID is shared by both views on Windows; Wine keeps it
    // in the 64-bit view only, so either view's copy counts. VBScript is a
    // feature newer Windows removes: its clients are then skipped.
    if (clients[c].engine === "VBScript" &&
        !regExists("HKLM\\SOFTWARE\\Classes\\VBScript\\CLSID", null, k.view) &&
        !regExists("HKLM\\SOFTWARE\\Classes\\VBScript\\CLSID", null, "")) {
      skipped.push(label + " client: VBScript is not installed on this machine (an optional feature of Windows)");
      continue;
    }
    var resultFile = work + "\\result.txt";
    var file = fso.CreateTextFile(ini, true);
    file.Write(INI_TEXT);
    file.Close();
    if (fso.FileExists(resultFile)) fso.DeleteFile(resultFile);
    var script = quote(base + "\\check\\" + clients[c].file) + " " + quote(ini) + " " + quote(resultFile) + " " +
                 quote(stageDir) + " " + quote(replaceFile) + (admin ? "" : " create-only");
    // The engine is named, whatever program .vbs and .js files are
    // associated with; a host that does not take //E: runs nothing and
    // leaves no result file, and is asked again by the file's extension.
    run(quote(k.dir + "\\cscript.exe") + " //nologo //E:" + clients[c].engine + " " + script);
    if (!fso.FileExists(resultFile)) {
      if (!engineSwitchIgnored[k.bits]) {
        WScript.Echo("NOTE: " + k.dir + "\\cscript.exe ran nothing with //E:" + clients[c].engine +
                     "; running the clients by their file extension");
      }
      engineSwitchIgnored[k.bits] = true;
      run(quote(k.dir + "\\cscript.exe") + " //nologo " + script);
    }
    var done = false;
    if (fso.FileExists(resultFile)) {
      var lines = fso.OpenTextFile(resultFile, FOR_READING).ReadAll().split(/\r?\n/);
      for (var n = 0; n < lines.length; n++) {
        var line = lines[n];
        if (line.indexOf("PASS: ") === 0) pass(label + ": " + line.substring(6));
        else if (line.indexOf("FAIL: ") === 0) fail(label + ": " + line.substring(6));
        else if (line === "DONE") done = true;
      }
      fso.DeleteFile(resultFile);
    }
    if (!done) fail(label + ": the client stopped before its end");
  }
}

var runnable = [];
var killed = true;  // until the try block ends by itself or by an error
try {
  if (!fso.FolderExists(stateDir)) fso.CreateFolder(stateDir);
  record(["deletefolder", work]);
  fso.CreateFolder(work);
  fso.CreateFolder(iniDir);
  fso.CreateFolder(stageDir);
  var registered = [];
  for (var i = 0; i < kinds.length; i++) {
    var k = kinds[i];
    if (!canRun(k)) {
      skipped.push(k.name + " registration and its VBScript and JScript clients (" + k.dir +
                   " programs cannot run on this machine)");
      continue;
    }
    runnable.push(k);
    if (!fso.FileExists(k.dll)) {
      fail(k.name + " DLL is missing: " + k.dll);
      continue;
    }
    var regsvr32 = k.dir + "\\regsvr32.exe";
    record(["unregister", regsvr32, mode, k.dll, root, k.view]);
    var code = run(quote(regsvr32) + " /s" + mode + " " + quote(k.dll));
    if (code === 0) {
      pass("register " + k.dll + " with " + regsvr32 + mode);
      registered.push(k);
    } else {
      fail("register " + k.dll + ": regsvr32 exit code " + code);
    }
    stepDone("register " + k.bits);
    if (admin) pointConfiguration(k);
  }
  for (var i = 0; i < registered.length; i++) {
    runClients(registered[i]);
    stepDone("clients " + registered[i].bits);
  }
  killed = false;
} catch (e) {
  killed = false;
  fail("stopped by an error: " + (e.message || e.description || e));
} finally {
  // Undo exactly what was done, newest first. (A run ended by WScript.Quit
  // inside the block, the kill hook, undoes nothing.)
  if (!killed) replayUndoRecord();
}

for (var i = 0; i < runnable.length; i++) {
  var k = runnable[i];
  if (regExists("HKLM\\SOFTWARE\\Classes\\CLSID\\" + CLSID, null, k.view) ||
      regExists("HKCU\\SOFTWARE\\Classes\\CLSID\\" + CLSID, null, k.view)) {
    fail("the " + k.name + " class key is still there after unregistration");
  } else {
    pass("no " + k.name + " class key left");
  }
}
finish();
