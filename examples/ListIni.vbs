' Lists every section, key and value that Stavora serves, late-bound through
' the ProgID "Stavora.StavoraLookup".
' Usage: cscript //nologo ListIni.vbs
' Exit code: 0 when listed, 1 when the object could not be created.
Option Explicit

Dim lookup, sections, keys, s, k
Set lookup = CreateLookup()

sections = lookup.GetSections()
WScript.Echo "The INI file has " & (UBound(sections) + 1) & " section(s)."
For s = 0 To UBound(sections)
  WScript.Echo "[" & sections(s) & "]"
  ' GetSection gives no array for a section that is not there, which is also
  ' the answer for one that a reload removed since GetSections: test with
  ' IsArray before UBound.
  keys = lookup.GetSection(sections(s))
  If IsArray(keys) Then
    For k = 0 To UBound(keys)
      WScript.Echo "  " & keys(k) & " = " & lookup.GetKey(sections(s), keys(k))
    Next
  End If
Next

' Names match without regard to case; a missing key reads as "".
WScript.Echo "database/server (any case): " & lookup.GetKey("database", "server")
WScript.Echo "a missing key: [" & lookup.GetKey("Database", "NoSuchKey") & "]"
' A missing section gives no list at all.
keys = lookup.GetSection("NoSuchSection")
If IsArray(keys) Then
  WScript.Echo "a missing section gives: a list"
Else
  WScript.Echo "a missing section gives: nothing"
End If

' Creates the object, or says why it could not and quits with exit code 1.
Function CreateLookup()
  On Error Resume Next
  Set CreateLookup = CreateObject("Stavora.StavoraLookup")
  If Err.Number = 0 Then Exit Function

  Dim number, code, message
  number = Err.Number
  ' VBScript numbers its own errors from 1 (429: "ActiveX component can't
  ' create object"); as a COM result that is 0x800A0000 plus the number.
  If number > 0 And number < 65536 Then
    code = "800A" & Right("000" & Hex(number), 4)
  Else
    code = Hex(number)
  End If
  message = "Stavora.StavoraLookup could not be created: error 0x" & code & _
            " (" & number & ", " & Err.Description & ")." & vbCrLf & HostHint()
  Err.Clear
  WScript.Echo message
  WScript.Quit 1
End Function

' What to check when the object cannot be created, naming this script host.
Function HostHint()
  On Error Resume Next
  Dim arch, needs
  needs = "it needs the Stavora.dll of its own bitness registered"
  arch = CreateObject("WScript.Shell").Environment("PROCESS").Item("PROCESSOR_ARCHITECTURE")
  Select Case UCase(arch)
    Case "X86": needs = "a 32-bit host: it needs the 32-bit (x86) Stavora.dll registered"
    Case "AMD64": needs = "a 64-bit host: it needs the 64-bit (x64) Stavora.dll registered"
    Case ""  ' the general rule stands
    Case Else: needs = "an " & arch & " host, which no Stavora.dll serves: use the 32-bit (x86) DLL with " & _
                       "C:\Windows\SysWOW64\cscript.exe"
  End Select
  HostHint = "Is Stavora.dll registered for this script host? A host loads only the DLL of its own bitness." & vbCrLf & _
    "This host is " & WScript.FullName & ", " & needs & "." & vbCrLf & _
    "Under Wine, an object registered per user (regsvr32 /n /i:user) cannot be created by ProgID:" & vbCrLf & _
    "register it per machine. See Troubleshooting in the README."
End Function
