// verify.cmd's driver: registers x64\Stavora.dll and x86\Stavora.dll from
// the folder given (per machine as an administrator, per user otherwise),
// points StavoraPath at a temporary INI file, runs Client.vbs and Client.js
// under each script host that can run here, then puts back everything it
// changed and prints "N passed, M failed". Exit code 0 only when nothing
// failed.
// Usage: cscript //nologo Verify.js <folder of verify.cmd>
var CLSID = "{5D3E8C21-9B47-4F0A-8C6E-2B71D4A9E013}";
var SETTINGS = "HKLM\\SOFTWARE\\Kestrane L.P.\\Vendara\\Settings";
var VENDOR = "HKLM\\SOFTWARE\\Kestrane L.P.";

var shell = new ActiveXObject("WScript.Shell");
var fso = new ActiveXObject("Scripting.FileSystemObject");
var base = fso.GetAbsolutePathName(WScript.Arguments(0));
// (ExpandEnvironmentStrings is not asked: under Wine its result ends in a NUL.)
var windir = fso.GetSpecialFolder(0).Path;
var comspec = fso.GetSpecialFolder(1).Path + "\\cmd.exe";
var passed = 0, failed = 0, skipped = [];

function pass(what) { passed++; WScript.Echo("PASS: " + what); }
function fail(what) { failed++; WScript.Echo("FAIL: " + what); }
function quote(text) { return "\"" + text + "\""; }

// Runs a program hidden and waits; its exit code, or -1 when it cannot start.
function run(commandLine) {
  try { return shell.Run(commandLine, 0, true); } catch (e) { return -1; }
}

// The 64-bit system folder as this host sees it (a 32-bit host on 64-bit
// Windows reaches it through Sysnative).
var is64BitWindows = fso.FolderExists(windir + "\\SysWOW64");
var hostIs32On64 = shell.Environment("PROCESS")("PROCESSOR_ARCHITEW6432") !== "";
var nativeDir = windir + (hostIs32On64 ? "\\Sysnative" : "\\System32");
var reg = quote(nativeDir + "\\reg.exe");

var kinds = [];
if (is64BitWindows) {
  kinds.push({ name: "64-bit", dir: nativeDir, dll: base + "\\x64\\Stavora.dll", view: "/reg:64" });
  kinds.push({ name: "32-bit", dir: windir + "\\SysWOW64", dll: base + "\\x86\\Stavora.dll", view: "/reg:32" });
} else {
  kinds.push({ name: "32-bit", dir: windir + "\\System32", dll: base + "\\x86\\Stavora.dll", view: "" });
}

// A program of that bitness starts here at all.
function canRun(kind) { return run(quote(kind.dir + "\\cmd.exe") + " /c exit 7") === 7; }

// Administrator: a key can be made (and is removed again) under HKLM.
function isAdministrator() {
  var probe = quote("HKLM\\SOFTWARE\\StavoraVerifyProbe");
  if (run(reg + " add " + probe + " /f") !== 0) return false;
  run(reg + " delete " + probe + " /f");
  return true;
}

// Whether `key` (with value `value`, when given) exists in `view`.
function regExists(key, value, view) {
  return run(reg + " query " + quote(key) + (value ? " /v " + value : "") + " " + view) === 0;
}

// The text of a string value in `view`, read through reg.exe's output.
function regRead(key, value, view, scratch) {
  // Unquoted first word: cmd /c strips the outer quotes of a quoted one.
  run(quote(comspec) + " /c " + nativeDir + "\\reg.exe query " + quote(key) + " /v " + value + " " + view + " > " + quote(scratch));
  var text = fso.OpenTextFile(scratch, 1).ReadAll();
  fso.DeleteFile(scratch);
  var at = text.indexOf("REG_SZ");
  if (at < 0) return null;
  return text.substring(at + 6).replace(/^\s+/, "").replace(/[\r\n]+[\s\S]*$/, "");
}

var temp = fso.GetSpecialFolder(2).Path + "\\StavoraVerify-" + new Date().getTime();
fso.CreateFolder(temp);
var ini = temp + "\\Stavora.ini";
var INI_TEXT = "[Database]\r\nServer=db01.example\r\nPort=5432\r\n[Paths]\r\nLogs=C:\\Logs\r\n";

var admin = isAdministrator();
var mode = admin ? "" : " /n /i:user";
WScript.Echo("Stavora self-check in " + base + ": registering " + (admin ? "per machine" : "per user (not an administrator)"));

// Never touch an installation: stop when the class is registered already.
var installed = false;
for (var i = 0; i < kinds.length; i++) {
  var k = kinds[i];
  if (regExists("HKLM\\SOFTWARE\\Classes\\CLSID\\" + CLSID + "\\InprocServer32", null, k.view) ||
      regExists("HKCU\\SOFTWARE\\Classes\\CLSID\\" + CLSID + "\\InprocServer32", null, k.view)) {
    installed = true;
  }
}
if (installed) {
  fail("Stavora is registered on this machine already; uninstall or unregister it before running verify.cmd");
  fso.DeleteFolder(temp, true);
  WScript.Echo(passed + " passed, " + failed + " failed");
  WScript.Quit(1);
}

var registered = [];
var saved = [];
var runnable = [];
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
  var code = run(quote(k.dir + "\\regsvr32.exe") + " /s" + mode + " " + quote(k.dll));
  if (code === 0) {
    pass("register " + k.dll + " with " + k.dir + "\\regsvr32.exe" + mode);
    registered.push(k);
  } else {
    fail("register " + k.dll + ": regsvr32 exit code " + code);
  }
  if (admin) {
    // Remember the configuration this view had, then point it here.
    var state = { kind: k, vendor: regExists(VENDOR, null, k.view), value: null };
    if (regExists(SETTINGS, "StavoraPath", k.view)) state.value = regRead(SETTINGS, "StavoraPath", k.view, temp + "\\reg.txt");
    saved.push(state);
    if (run(reg + " add " + quote(SETTINGS) + " /v StavoraPath /d " + quote(ini) + " /f " + k.view) !== 0) {
      fail("set StavoraPath in the " + k.name + " registry view");
    }
  }
}

var clients = ["Client.vbs", "Client.js"];
for (var i = 0; i < registered.length; i++) {
  var k = registered[i];
  for (var c = 0; c < clients.length; c++) {
    var label = k.name + " " + (c === 0 ? "VBScript" : "JScript");
    var resultFile = temp + "\\result.txt";
    var file = fso.CreateTextFile(ini, true);
    file.Write(INI_TEXT);
    file.Close();
    if (fso.FileExists(resultFile)) fso.DeleteFile(resultFile);
    run(quote(k.dir + "\\cscript.exe") + " //nologo " + quote(base + "\\verify\\" + clients[c]) + " " + quote(ini) +
        " " + quote(resultFile) + (admin ? "" : " create-only"));
    var done = false;
    if (fso.FileExists(resultFile)) {
      var lines = fso.OpenTextFile(resultFile, 1).ReadAll().split(/\r?\n/);
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

// Undo exactly what was done, newest first.
for (var i = saved.length - 1; i >= 0; i--) {
  var s = saved[i];
  var ok;
  if (s.value !== null) {
    ok = run(reg + " add " + quote(SETTINGS) + " /v StavoraPath /d " + quote(s.value) + " /f " + s.kind.view) === 0;
  } else if (!s.vendor) {
    ok = run(reg + " delete " + quote(VENDOR) + " /f " + s.kind.view) === 0;
  } else {
    ok = run(reg + " delete " + quote(SETTINGS) + " /v StavoraPath /f " + s.kind.view) === 0;
  }
  if (ok) pass("restore the " + s.kind.name + " configuration value"); else fail("restore the " + s.kind.name + " configuration value");
}
for (var i = registered.length - 1; i >= 0; i--) {
  var k = registered[i];
  var code = run(quote(k.dir + "\\regsvr32.exe") + " /s /u" + mode + " " + quote(k.dll));
  if (code === 0) pass("unregister " + k.dll); else fail("unregister " + k.dll + ": regsvr32 exit code " + code);
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
try { fso.DeleteFolder(temp, true); } catch (e) { fail("remove " + temp + ": " + e.message); }

for (var i = 0; i < skipped.length; i++) WScript.Echo("SKIPPED: " + skipped[i]);
WScript.Echo(passed + " passed, " + failed + " failed");
WScript.Quit(failed === 0 ? 0 : 1);
