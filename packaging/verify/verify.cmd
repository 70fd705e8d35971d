@echo off
rem Stavora self-check: registers the DLLs beside this file, runs VBScript
rem and JScript clients under the 64-bit and 32-bit script hosts, undoes its
rem registration and prints "N passed, M failed". See README.txt.
setlocal
cscript //nologo "%~dp0verify\Verify.js" "%~dp0."
exit /b %ERRORLEVEL%
