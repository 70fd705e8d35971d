// Keeps one object alive and reports each change of one value: the object
// rereads the INI file by itself when the file is saved.
// Usage: cscript //nologo WatchValue.js <section> <key> [seconds]
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

var lookup = new ActiveXObject("Stavora.StavoraLookup");
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
