' One client run of StavoraCheck.cmd (VBScript): creates
' Stavora.StavoraLookup and checks it against the INI file Check.js wrote.
' Writes "PASS: ..." and "FAIL: ..." lines and a closing "DONE" to the
' result file.
' Usage: cscript //nologo //E:VBScript Client.vbs <INI file> <result file>
'          <staging folder beside the INI file's> <ReplaceFile.exe> [create-only]
Option Explicit

Dim fso, shell, iniPath, result, stageDir, replaceFile, createOnly
Set fso = CreateObject("Scripting.FileSystemObject")
Set shell = CreateObject("WScript.Shell")
iniPath = WScript.Arguments(0)
Set result = fso.CreateTextFile(WScript.Arguments(1), True)
stageDir = WScript.Arguments(2)
replaceFile = WScript.Arguments(3)
createOnly = False
If WScript.Arguments.Count > 4 Then createOnly = (WScript.Arguments(4) = "create-only")

Sub Report(ok, what)
  If ok Then result.WriteLine "PASS: " & what Else result.WriteLine "FAIL: " & what
End Sub

Sub Check(what, expected, actual)
  If CStr(expected) = CStr(actual) Then
    Report True, what
  Else
    Report False, what & ": expected [" & expected & "], got [" & actual & "]"
  End If
End Sub

' A name list as "A,B,C" (this VBScript may lack Join).
Function ListText(names)
  Dim i, text
  If Not IsArray(names) Then
    ListText = "<not an array>"
    Exit Function
  End If
  text = ""
  For i = LBound(names) To UBound(names)
    If i > LBound(names) Then text = text & ","
    text = text & names(i)
  Next
  ListText = text
End Function

' WScript.Sleep where the host has it, a busy wait where it does not.
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

Function WaitFor(lookup, section, key, wanted)
  Dim waited
  waited = 0
  Do While lookup.GetKey(section, key) <> wanted And waited < 5000
    Pause 100
    waited = waited + 100
  Loop
  WaitFor = lookup.GetKey(section, key)
End Function

Sub WriteText(path, text)
  Dim file
  Set file = fso.CreateTextFile(path, True)
  file.Write text
  file.Close
End Sub

Sub RunChecks()
  Dim lookup, staged, moved, replacement, replaced, deleted
  Set lookup = CreateObject("Stavora.StavoraLookup")
  Report True, "create Stavora.StavoraLookup"
  If createOnly Then
    ListText lookup.GetSections()
    Report True, "GetSections answers"
    Exit Sub
  End If
  Check "GetSections", "DATABASE,PATHS", ListText(lookup.GetSections())
  Check "GetSection(database)", "PORT,SERVER", ListText(lookup.GetSection("database"))
  Check "GetKey(Database, Server)", "db01.example", lookup.GetKey("Database", "Server")
  Check "GetKey(paths, LOGS)", "C:\Logs", lookup.GetKey("paths", "LOGS")
  Check "GetKey of a missing key", "", lookup.GetKey("Database", "NoSuchKey")

  WriteText iniPath, "[Database]" & vbCrLf & "Server=db02.example" & vbCrLf & "Port=5432" & vbCrLf & _
                     "[Paths]" & vbCrLf & "Logs=C:\Logs" & vbCrLf
  Check "an edit seen by the live object", "db02.example", WaitFor(lookup, "Database", "Server", "db02.example")

  ' A deployment's save: the new file is made in a sibling folder on the
  ' same volume and moved over the INI file.
  staged = stageDir & "\" & fso.GetFileName(iniPath)
  WriteText staged, "[Database]" & vbCrLf & "Server=db03.example" & vbCrLf
  moved = shell.Run("cmd.exe /c move /y """ & staged & """ """ & iniPath & """", 0, True)
  Check "a file moved over the INI file from a sibling folder (exit code of move)", 0, moved
  Check "the file moved in from the sibling folder seen by the live object", "db03.example", _
        WaitFor(lookup, "Database", "Server", "db03.example")

  ' An editor's save: the new text in a file beside the INI file, which one
  ' ReplaceFileW call puts in its place.
  replacement = iniPath & ".tmp"
  WriteText replacement, "[Database]" & vbCrLf & "Server=db04.example" & vbCrLf
  ' Started by cmd, not by the shell: a program unpacked from a downloaded
  ' zip carries its mark of the web, and the shell would stop at a security
  ' prompt before starting it.
  replaced = shell.Run("cmd.exe /s /c """"" & replaceFile & """ """ & iniPath & """ """ & replacement & """""", _
                       0, True)
  Check "the INI file replaced by one ReplaceFileW call (exit code of ReplaceFile.exe)", 0, replaced
  Check "the replaced file seen by the live object", "db04.example", _
        WaitFor(lookup, "Database", "Server", "db04.example")

  deleted = "yes"
  On Error Resume Next
  fso.DeleteFile iniPath
  If Err.Number <> 0 Then deleted = "no: " & Err.Description
  Err.Clear
  On Error GoTo 0
  Check "deleting the INI file while the object is alive", "yes", deleted
  Check "the deletion seen by the live object (empty answer)", "", WaitFor(lookup, "Database", "Server", "")
End Sub

On Error Resume Next
RunChecks
If Err.Number <> 0 Then Report False, "stopped by an error: " & Err.Description & " (" & Hex(Err.Number) & ")"
On Error GoTo 0
result.WriteLine "DONE"
result.Close
