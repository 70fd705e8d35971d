' End-to-end client: creates Stavora.StavoraLookup by its ProgID, checks its
' answers against the INI file the test wrote, rewrites that file and waits
' for the same object to see the change. Prints STAVORA-E2E-PASS last and
' quits with 0 only when every check held.
' Usage: cscript //nologo LookupClient.vbs <INI file path>
Option Explicit

Dim failures
failures = 0

Sub Check(what, expected, actual)
  If CStr(expected) <> CStr(actual) Then
    WScript.Echo "FAIL: " & what & ": expected [" & expected & "], got [" & actual & "]"
    failures = failures + 1
  Else
    WScript.Echo "ok: " & what & " = [" & actual & "]"
  End If
End Sub

' A name list as "A,B,C" (this VBScript may lack Join).
Function ListText(names)
  Dim i, text
  text = ""
  If Not IsArray(names) Then
    ListText = "<not an array>"
    Exit Function
  End If
  For i = LBound(names) To UBound(names)
    If i > LBound(names) Then text = text & ","
    text = text & names(i)
  Next
  ListText = text
End Function

' Waits about `ms` milliseconds; WScript.Sleep where the host has it.
Sub Pause(ms)
  Dim deadline
  On Error Resume Next
  WScript.Sleep ms
  If Err.Number <> 0 Then
    Err.Clear
    On Error GoTo 0
    deadline = Timer + ms / 1000
    Do While Timer < deadline And Timer > deadline - 86000
    Loop
  End If
End Sub

If WScript.Arguments.Count <> 1 Then
  WScript.Echo "FAIL: usage: LookupClient.vbs <INI file path>"
  WScript.Quit 2
End If
Dim iniPath
iniPath = WScript.Arguments(0)

Dim lookup
Set lookup = CreateObject("Stavora.StavoraLookup")

Check "GetSections", "DATABASE,PATHS", ListText(lookup.GetSections())
Check "GetSection(database)", "PORT,SERVER", ListText(lookup.GetSection("database"))
Check "GetKey(Database, Server)", "db01.example", lookup.GetKey("Database", "Server")
Check "GetKey(PATHS, logs)", "C:\Logs", lookup.GetKey("PATHS", "logs")
Check "GetKey of a missing key", "", lookup.GetKey("Database", "NoSuchKey")
Check "GetKey of a missing section", "", lookup.GetKey("NoSuchSection", "Server")
Check "GetSection of a missing section is no array", False, IsArray(lookup.GetSection("NoSuchSection"))

' Rewrite the file; the object must see it without being created again.
' The file system object opens the file without sharing, so the open is
' refused while the object's watcher reads the file (it reads it once more
' just after creation): an editor would try again, and so does this.
Dim fso, file, tries
Set fso = CreateObject("Scripting.FileSystemObject")
For tries = 1 To 50
  On Error Resume Next
  Set file = fso.CreateTextFile(iniPath, True)
  If Err.Number = 0 Then Exit For
  Err.Clear
  On Error GoTo 0
  Pause 100
Next
On Error GoTo 0
file.Write "[Database]" & vbCrLf & "Server=db02.example" & vbCrLf & "Port=5432" & vbCrLf & _
           "[Paths]" & vbCrLf & "Logs=C:\Logs" & vbCrLf & "[Added]" & vbCrLf & "By=vbscript" & vbCrLf
file.Close

Dim waited
waited = 0
Do While lookup.GetKey("Database", "Server") <> "db02.example" And waited < 5000
  Pause 100
  waited = waited + 100
Loop
Check "GetKey(Database, Server) after the edit", "db02.example", lookup.GetKey("Database", "Server")
Check "GetSections after the edit", "ADDED,DATABASE,PATHS", ListText(lookup.GetSections())
Check "GetKey(added, by) after the edit", "vbscript", lookup.GetKey("added", "by")

If failures > 0 Then
  WScript.Echo failures & " check(s) failed"
  WScript.Quit 1
End If
WScript.Echo "STAVORA-E2E-PASS"
WScript.Quit 0
