' GetKey called from VBScript next to Scripting.Dictionary.Item over the same
' values, both timed with Timer in this one script; prints benchmark table rows.
'   cscript //nologo GetKeyVsDictionary.vbs [--rows]
' Needs Stavora.dll registered. Writes its own INI file and points StavoraPath at
' it for the run. Wine's VBScript has no Join, its WScript.Sleep raises an error
' and its Round ignores the digits: none of them is used. Timer is a Single, good
' to about 8 ms late in the day, so each loop runs long enough to make that small.
Option Explicit

Const Calls = 100000
Const SectionCount = 100
Const KeyCount = 10
Const PathValue = "HKLM\SOFTWARE\Kestrane L.P.\Vendara\Settings\StavoraPath"

Dim shell, fso, iniPath, hadPath, previousPath
Set shell = CreateObject("WScript.Shell")
Set fso = CreateObject("Scripting.FileSystemObject")

Sub Fail(message)
  WScript.StdErr.WriteLine "GetKeyVsDictionary.vbs: " & message
  RestorePath
  WScript.Quit 1
End Sub

Sub WriteIni(path)
  Dim file, s, k
  Set file = fso.CreateTextFile(path, True)
  For s = 0 To SectionCount - 1
    file.WriteLine "[Section" & s & "]"
    For k = 0 To KeyCount - 1
      file.WriteLine "Key" & k & "=value " & s & "." & k
    Next
  Next
  file.Close
End Sub

Sub PointPathAt(path)
  On Error Resume Next
  previousPath = shell.RegRead(PathValue)
  hadPath = (Err.Number = 0)
  On Error GoTo 0
  shell.RegWrite PathValue, path, "REG_SZ"
End Sub

Sub RestorePath()
  On Error Resume Next
  If hadPath Then
    shell.RegWrite PathValue, previousPath, "REG_SZ"
  Else
    shell.RegDelete PathValue
  End If
  If fso.FileExists(iniPath) Then fso.DeleteFile iniPath
  On Error GoTo 0
End Sub

' Seconds since  (a Timer reading), across midnight too.
Function Elapsed(start)
  Elapsed = Timer - start
  If Elapsed < 0 Then Elapsed = Elapsed + 86400
End Function

' Microseconds per call, to two decimals.
Function Micro(seconds)
  Micro = Int(seconds * 100000000 / Calls + 0.5) / 100
End Function

' The timed loops keep their variables local: Wine's VBScript finds global
' names by a search that would otherwise dominate what is measured.
Function TimeBareLoop()
  Dim i, value, start
  start = Timer
  For i = 1 To Calls
    value = i
  Next
  TimeBareLoop = Elapsed(start)
End Function

Function TimeGetKey(lookup)
  Dim i, value, start
  start = Timer
  For i = 1 To Calls
    value = lookup.GetKey("Section90", "Key7")
  Next
  TimeGetKey = Elapsed(start)
End Function

Function TimeItem(dict)
  Dim i, value, start
  start = Timer
  For i = 1 To Calls
    value = dict.Item("Section90\Key7")
  Next
  TimeItem = Elapsed(start)
End Function

Sub Row(measurement, conditions, result)
  WScript.Echo "| " & measurement & " | " & conditions & " | " & result & " |"
End Sub

Dim rowsOnly, lookup, dict, s, k, value, loopTime, getKeyTime, itemTime
rowsOnly = False
If WScript.Arguments.Count > 0 Then rowsOnly = (WScript.Arguments(0) = "--rows")

iniPath = fso.BuildPath(shell.ExpandEnvironmentStrings("%TEMP%"), "stavora-vbscript-bench.ini")
WriteIni iniPath
PointPathAt iniPath

Set lookup = CreateObject("Stavora.StavoraLookup")
value = lookup.GetKey("Section90", "Key7")
If value <> "value 90.7" Then Fail "GetKey(Section90, Key7) gave """ & value & """, expected ""value 90.7"""
Set dict = CreateObject("Scripting.Dictionary")
For s = 0 To SectionCount - 1
  For k = 0 To KeyCount - 1
    dict.Add "Section" & s & "\Key" & k, "value " & s & "." & k
  Next
Next

loopTime = TimeBareLoop()
getKeyTime = TimeGetKey(lookup)
itemTime = TimeItem(dict)
value = dict.Item("Section90\Key7")
If value <> "value 90.7" Then Fail "Dictionary.Item gave """ & value & """, expected ""value 90.7"""

Set lookup = Nothing
RestorePath

If Not rowsOnly Then
  WScript.Echo "| measurement | conditions | result |"
  WScript.Echo "|---|---|---|"
End If
Dim conditions, ratio
conditions = SectionCount & " sections of " & KeyCount & " keys, " & Calls & " calls"
ratio = ""
If itemTime > 0 Then ratio = " (" & Int(getKeyTime / itemTime * 10 + 0.5) / 10 & " times Dictionary.Item)"
Row "VBScript: GetKey", conditions, Micro(getKeyTime) & " us per call" & ratio
Row "VBScript: Scripting.Dictionary.Item", "the same " & SectionCount * KeyCount & " values, " & Calls & " calls", Micro(itemTime) & " us per call"
Row "VBScript: bare For loop (part of both rows above)", Calls & " iterations", Micro(loopTime) & " us per iteration"
WScript.Quit 0
