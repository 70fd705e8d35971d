// One client run of StavoraCheck.cmd (JScript): creates
// Stavora.StavoraLookup and checks it against the INI file Check.js wrote.
// Writes "PASS: ..." and "FAIL: ..." lines and a closing "DONE" to the
// result file.
// Usage: cscript //nologo //E:JScript Client.js <INI file> <result file>
//          <staging folder beside the INI file's> <ReplaceFile.exe> [create-only]
var fso = new ActiveXObject("Scripting.FileSystemObject");
var shell = new ActiveXObject("WScript.Shell");
var iniPath = WScript.Arguments(0);
var result = fso.CreateTextFile(WScript.Arguments(1), true);
var stageDir = WScript.Arguments(2);
var replaceFile = WScript.Arguments(3);
var createOnly = WScript.Arguments.length > 4 && WScript.Arguments(4) === "create-only";

function report(ok, what) { result.WriteLine((ok ? "PASS: " : "FAIL: ") + what); }
function check(what, expected, actual) {
  var ok = String(expected) === String(actual);
  report(ok, what + (ok ? "" : ": expected [" + expected + "], got [" + actual + "]"));
}
// A name list (a SAFEARRAY) as "A,B,C"; typeof is not asked of arrays.
function listText(names) {
  try { return new VBArray(names).toArray().join(","); } catch (e) { return "<not an array>"; }
}
// WScript.Sleep where the host has it, a busy wait where it does not.
function pause(ms) {
  try { WScript.Sleep(ms); } catch (e) {
    var deadline = new Date().getTime() + ms;
    while (new Date().getTime() < deadline) {}
  }
}
function waitFor(lookup, section, key, wanted) {
  for (var waited = 0; lookup.GetKey(section, key) !== wanted && waited < 5000; waited += 100) pause(100);
  return lookup.GetKey(section, key);
}
function writeText(path, text) {
  var file = fso.CreateTextFile(path, true);
  file.Write(text);
  file.Close();
}

try {
  var lookup = new ActiveXObject("Stavora.StavoraLookup");
  report(true, "create Stavora.StavoraLookup");
  if (createOnly) {
    listText(lookup.GetSections());
    report(true, "GetSections answers");
  } else {
    check("GetSections", "DATABASE,PATHS", listText(lookup.GetSections()));
    check("GetSection(database)", "PORT,SERVER", listText(lookup.GetSection("database")));
    check("GetKey(Database, Server)", "db01.example", lookup.GetKey("Database", "Server"));
    check("GetKey(paths, LOGS)", "C:\\Logs", lookup.GetKey("paths", "LOGS"));
    check("GetKey of a missing key", "", lookup.GetKey("Database", "NoSuchKey"));

    writeText(iniPath, "[Database]\r\nServer=db02.example\r\nPort=5432\r\n[Paths]\r\nLogs=C:\\Logs\r\n");
    check("an edit seen by the live object", "db02.example", waitFor(lookup, "Database", "Server", "db02.example"));

    // A deployment's save: the new file is made in a sibling folder on the
    // same volume and moved over the INI file.
    var staged = stageDir + "\\" + fso.GetFileName(iniPath);
    writeText(staged, "[Database]\r\nServer=db03.example\r\n");
    var moved = shell.Run("cmd.exe /c move /y \"" + staged + "\" \"" + iniPath + "\"", 0, true);
    check("a file moved over the INI file from a sibling folder (exit code of move)", 0, moved);
    check("the file moved in from the sibling folder seen by the live object", "db03.example",
          waitFor(lookup, "Database", "Server", "db03.example"));

    // An editor's save: the new text in a file beside the INI file, which
    // one ReplaceFileW call puts in its place.
    var replacement = iniPath + ".tmp";
    writeText(replacement, "[Database]\r\nServer=db04.example\r\n");
    // Started by cmd, not by the shell: a program unpacked from a downloaded
    // zip carries its mark of the web, and the shell would stop at a
    // security prompt before starting it.
    var replaced = shell.Run("cmd.exe /s /c \"\"" + replaceFile + "\" \"" + iniPath + "\" \"" + replacement + "\"\"",
                             0, true);
    check("the INI file replaced by one ReplaceFileW call (exit code of ReplaceFile.exe)", 0, replaced);
    check("the replaced file seen by the live object", "db04.example",
          waitFor(lookup, "Database", "Server", "db04.example"));

    var deleted = "yes";
    try { fso.DeleteFile(iniPath); } catch (e) { deleted = "no: " + e.message; }
    check("deleting the INI file while the object is alive", "yes", deleted);
    check("the deletion seen by the live object (empty answer)", "", waitFor(lookup, "Database", "Server", ""));
  }
  lookup = null;
} catch (e) {
  report(false, "stopped by an error: " + e.message + " (" + (e.number >>> 0).toString(16) + ")");
}
result.WriteLine("DONE");
result.Close();
