// Lists every section, key and value that Stavora serves, late-bound through
// the ProgID "Stavora.StavoraLookup". Name lists arrive as SAFEARRAYs, which
// JScript reads through VBArray.
// Usage: cscript //nologo ListIni.js
var lookup = new ActiveXObject("Stavora.StavoraLookup");

var sections = new VBArray(lookup.GetSections()).toArray();
WScript.Echo("The INI file has " + sections.length + " section(s).");
for (var s = 0; s < sections.length; s++) {
  WScript.Echo("[" + sections[s] + "]");
  var keys = new VBArray(lookup.GetSection(sections[s])).toArray();
  for (var k = 0; k < keys.length; k++) {
    WScript.Echo("  " + keys[k] + " = " + lookup.GetKey(sections[s], keys[k]));
  }
}

// A section that is not there gives no list at all.
var missing = lookup.GetSection("NoSuchSection");
WScript.Echo("a missing section gives: " + (missing === undefined ? "nothing" : "a list"));
