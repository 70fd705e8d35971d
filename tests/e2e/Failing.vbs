' A client that stops with a run-time error before its last line: the test
' harness must report it as failed, since the script host may still exit 0.
Option Explicit
WScript.Echo "starting"
NoSuchProcedure
WScript.Echo "STAVORA-E2E-PASS"
WScript.Quit 0
