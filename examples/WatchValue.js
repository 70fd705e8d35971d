// Keeps one object alive and reports each change of one value: the object
// rereads the INI file by itself when the file is saved.
// Usage: cscript //nologo WatchValue.js <section> <key> [seconds]
// Exit code: 0 when a change was seen, 1 when none was, 2 for a wrong
// command line, 3 when the object could not be created.
if (WScript.Arguments.length < 2) {
  WScript.Echo("usage: WatchValue.js <section> <key> [seconds]");
  WScript.Quit(2);
}
var section = WScript.Arguments(0);
var key = WScript.Arguments(1);
var seconds = WScript.Arguments.length > 2 ? Number(WScript.Arguments(2)) : 10;

// Some script hosts (Wine's among them) lack WScript.Sleep.
function pause(ms) {
  try {
    WScript.Sleep(ms);
  } catch (e) {
    var until = new Date().getTime() + ms;
    while (new Date().getTime() < until) {}
  }
}

var lookup = createLookup();
var value = lookup.GetKey(section, key);
WScript.Echo("watching " + section + "/" + key + " = " + value);
var changes = 0;
var end = new Date().getTime() + seconds * 1000;
while (new Date().getTime() < end) {
  pause(100);
  var now = lookup.GetKey(section, key);
  if (now !== value) {
    WScript.Echo("changed: " + section + "/" + key + " = " + now + " (same object, no restart)");
    value = now;
    changes++;
    break;
  }
}
if (changes === 0) WScript.Echo("no change seen in " + seconds + " s");
WScript.Quit(changes > 0 ? 0 : 1);

// Creates the object, or says why it could not and quits with exit code 3.
function createLookup() {
  try {
    return new ActiveXObject("Stavora.StavoraLookup");
  } catch (e) {
    WScript.Echo("Stavora.StavoraLookup could not be created: error 0x" +
                 (e.number >>> 0).toString(16).toUpperCase() + " (" + e.description + ").\r\n" +
                 hostHint());
    WScript.Quit(3);
  }
}

// What to check when the object cannot be created, naming this script host.
function hostHint() {
  var needs = "it needs the Stavora.dll of its own bitness registered";
  try {
    var arch = String(new ActiveXObject("WScript.Shell").Environment("PROCESS").Item("PROCESSOR_ARCHITECTURE"));
    switch (arch.toUpperCase()) {
      case "X86": needs = "a 32-bit host: it needs the 32-bit (x86) Stavora.dll registered"; break;
      case "AMD64": needs = "a 64-bit host: it needs the 64-bit (x64) Stavora.dll registered"; break;
      case "": break;
      default: needs = "an " + arch + " host, which no Stavora.dll serves: use the 32-bit (x86) DLL with " +
                       "C:\\Windows\\SysWOW64\\cscript.exe";
    }
  } catch (e) {
    // the general rule stands
  }
  return "Is Stavora.dll registered for this script host? A host loads only the DLL of its own bitness.\r\n" +
         "This host is " + WScript.FullName + ", " + needs + ".\r\n" +
         "Under Wine, an object registered per user (regsvr32 /n /i:user) cannot be created by ProgID:\r\n" +
         "register it per machine. See Troubleshooting in the README.";
}
