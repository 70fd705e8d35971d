// StavoraCheck.cmd's driver: registers x64\Stavora.dll and x86\Stavora.dll
// from the folder given (per machine as an administrator, per user
// otherwise), points StavoraPath at a temporary INI file, runs Client.vbs
// and Client.js under each script host that can run here, then puts back
// everything it changed and prints "N passed, M failed". Exit code 0 only
// when nothing failed.
//
// Before each change it appends the step that undoes it to an undo record
// (%TEMP%\StavoraCheck\undo.txt); the cleanup replays that record, newest
// step first, whatever happened. A run that was killed leaves the record,
// and the next run, or "/undo", replays it before anything else.
//
// Usage: cscript //nologo //E:JScript Check.js <folder of StavoraCheck.cmd> <start marker> [/undo]
// STAVORA_CHECK_FAIL=<step> (test hook) makes the named step fail;
// STAVORA_CHECK_FAIL=<step>:kill ends the run there at once, undoing nothing.
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
var undoOnly = WScript.Arguments.length > 2 && WScript.Arguments(2).toLowerCase() === "/undo";
// (ExpandEnvironmentStrings is not asked: under Wine its result ends in a NUL.)
var windir = fso.GetSpecialFolder(0).Path;
var comspec = fso.GetSpecialFolder(1).Path + "\\cmd.exe";
var stateDir = fso.GetSpecialFolder(2).Path + "\\StavoraCheck";
var undoFile = stateDir + "\\undo.txt";
var passed = 0, failed = 0, skipped = [];
var failHook = String(shell.Environment("PROCESS")("STAVORA_CHECK_FAIL") || "");

function pass(what) { passed++; WScript.Echo("PASS: " + what); }
function fail(what) { failed++; WScript.Echo("FAIL: " + what); }
function quote(text) { return "\"" + text + "\""; }
function finish() {
  for (var i = 0; i < skipped.length; i++) WScript.Echo("SKIPPED: " + skipped[i]);
  WScript.Echo(passed + " passed, " + failed + " failed");
  WScript.Quit(failed === 0 ? 0 : 1);
}

// Runs a program hidden and waits; its exit code, or -1 when it cannot start.
function run(commandLine) {
  try { return shell.Run(commandLine, 0, true); } catch (e) { return -1; }
}

// The test hook: called after each step that changes the machine.
function stepDone(step) {
  if (failHook === step) throw new Error("step \"" + step + "\" failed (STAVORA_CHECK_FAIL)");
  if (failHook === step + ":kill") {
    WScript.Echo("KILLED after step \"" + step + "\" (STAVORA_CHECK_FAIL)");
    WScript.Quit(3);
  }
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

// ---- The undo record ---------------------------------------------------------
// One step a line, fields separated by tabs:
//   unregister <regsvr32.exe> <switches> <DLL>
//   restore <view> <exported .reg file>     StavoraPath removed, the key's export imported
//   deletekey <view> <key>                  a key this run created, with what is below it
//   deletefolder <folder>
function record(fields) {
  if (!fso.FolderExists(stateDir)) fso.CreateFolder(stateDir);
  var file = fso.OpenTextFile(undoFile, FOR_APPENDING, true, UNICODE);
  file.WriteLine(fields.join("\t"));
  file.Close();
}

function undoStep(fields) {
  switch (fields[0]) {
    case "unregister":
      var code = run(quote(fields[1]) + " /s /u" + fields[2] + " " + quote(fields[3]));
      // A DLL that is gone cannot be unregistered by itself: its keys then
      // stay, and the run says so.
      return { ok: code === 0, what: "unregister " + fields[3] + (code === 0 ? "" : ": regsvr32 exit code " + code) };
    case "restore":
      run(reg + " delete " + quote(SETTINGS) + " /v StavoraPath /f " + fields[1]);
      var imported = run(reg + " import " + quote(fields[2]) + " " + fields[1]) === 0;
      return { ok: imported, what: "restore " + SETTINGS + " " + fields[1] + " from " + fields[2] };
    case "deletekey":
      var gone = !regExists(fields[2], null, fields[1]) || run(reg + " delete " + quote(fields[2]) + " /f " + fields[1]) === 0;
      return { ok: gone, what: "remove " + fields[2] + " " + fields[1] + ", which this check created" };
    case "deletefolder":
      try {
        if (fso.FolderExists(fields[1])) fso.DeleteFolder(fields[1], true);
        return { ok: true, what: "remove " + fields[1] };
      } catch (e) {
        return { ok: false, what: "remove " + fields[1] + ": " + e.message };
      }
  }
  return { ok: false, what: "unknown undo step: " + fields.join(" ") };
}

// Replays the record, newest step first; steps that fail stay in it.
function replayUndoRecord() {
  if (!fso.FileExists(undoFile)) return true;
  var text = fso.OpenTextFile(undoFile, FOR_READING, false, UNICODE).ReadAll();
  var lines = text.split(/\r?\n/);
  var left = [];
  for (var i = lines.length - 1; i >= 0; i--) {
    if (lines[i] === "") continue;
    var result = undoStep(lines[i].split("\t"));
    if (result.ok) pass("undo: " + result.what); else { fail("undo: " + result.what); left.unshift(lines[i]); }
  }
  fso.DeleteFile(undoFile);
  for (var i = 0; i < left.length; i++) record(left[i].split("\t"));
  if (left.length === 0) {
    try { fso.DeleteFolder(stateDir, true); } catch (e) { fail("remove " + stateDir + ": " + e.message); }
  }
  return left.length === 0;
}

// ---- Start -------------------------------------------------------------------
if (fso.FileExists(undoFile)) {
  WScript.Echo("An earlier self-check did not finish; undoing what it changed first.");
  if (!replayUndoRecord()) {
    fail("the earlier run's changes could not all be undone; the steps left are in " + undoFile);
    finish();
  }
} else if (undoOnly) {
  WScript.Echo("Nothing to undo.");
}
if (undoOnly) finish();

var admin = isAdministrator();
var mode = admin ? "" : " /n /i:user";
WScript.Echo("Stavora self-check in " + base + ": registering " + (admin ? "per machine" : "per user (not an administrator)"));

// Never touch an installation: stop when the class is registered already.
for (var i = 0; i < kinds.length; i++) {
  var k = kinds[i];
  if (regExists("HKLM\\SOFTWARE\\Classes\\CLSID\\" + CLSID + "\\InprocServer32", null, k.view) ||
      regExists("HKCU\\SOFTWARE\\Classes\\CLSID\\" + CLSID + "\\InprocServer32", null, k.view)) {
    fail("Stavora is registered on this machine already; uninstall or unregister it before running StavoraCheck.cmd");
    finish();
  }
}

var work = stateDir + "\\work";
var iniDir = work + "\\ini";
var stageDir = work + "\\stage";
var ini = iniDir + "\\Stavora.ini";
var INI_TEXT = "[Database]\r\nServer=db01.example\r\nPort=5432\r\n[Paths]\r\nLogs=C:\\Logs\r\n";

// Points StavoraPath of one view at the temporary INI file, after recording
// how to put that view's configuration back: the export of the key when it
// exists, otherwise the removal of the outermost key this run creates.
function pointConfiguration(k) {
  var exported = stateDir + "\\settings-" + k.bits + ".reg";
  var created = null;
  for (var c = 0; c < CONFIG_KEYS.length && created === null; c++) {
    if (!regExists(CONFIG_KEYS[c], null, k.view)) created = CONFIG_KEYS[c];
  }
  if (created === null) {
    if (run(reg + " export " + quote(SETTINGS) + " " + quote(exported) + " /y " + k.view) !== 0) {
      throw new Error("reg export of " + SETTINGS + " " + k.view + " failed; StavoraPath is left alone");
    }
    record(["restore", k.view, exported]);
  } else {
    record(["deletekey", k.view, created]);
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
    // in the 64-bit view only, so either view's copy counts.
    if (clients[c].engine === "VBScript" &&
        !regExists("HKLM\\SOFTWARE\\Classes\\VBScript\\CLSID", null, k.view) &&
        !regExists("HKLM\\SOFTWARE\\Classes\\VBScript\\CLSID", null, "")) {
      fail(label + ": VBScript is not installed on this machine (an optional feature of Windows); " +
           "VBScript clients cannot run");
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
    record(["unregister", regsvr32, mode, k.dll]);
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
