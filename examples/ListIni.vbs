' Lists every section, key and value that Stavora serves, late-bound through
' the ProgID "Stavora.StavoraLookup".
' Usage: cscript //nologo ListIni.vbs
Option Explicit

Dim lookup, sections, keys, s, k
Set lookup = CreateObject("Stavora.StavoraLookup")

sections = lookup.GetSections()
WScript.Echo "The INI file has " & (UBound(sections) + 1) & " section(s)."
For s = 0 To UBound(sections)
  WScript.Echo "[" & sections(s) & "]"
  keys = lookup.GetSection(sections(s))
  For k = 0 To UBound(keys)
    WScript.Echo "  " & keys(k) & " = " & lookup.GetKey(sections(s), keys(k))
  Next
Next

' Names match without regard to case; a missing key reads as "".
WScript.Echo "database/server (any case): " & lookup.GetKey("database", "server")
WScript.Echo "a missing key: [" & lookup.GetKey("Database", "NoSuchKey") & "]"
