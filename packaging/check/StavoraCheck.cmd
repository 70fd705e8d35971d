@echo off
rem Stavora self-check: registers the DLLs beside this file, runs VBScript
rem and JScript clients under the 64-bit and 32-bit script hosts, undoes
rem everything it changed and prints "N passed, M failed". See README.txt.
rem   StavoraCheck.cmd          run the check
rem   StavoraCheck.cmd /undo    only undo what an interrupted run left, where
rem                             it is still what that run left
rem   StavoraCheck.cmd /forget  drop an interrupted run's undo record unread
rem Exit code 0 when every check passed, 1 otherwise (also when another run
rem is going on, or Stavora is installed already).
setlocal
set "wsh=HKLM\Software\Microsoft\Windows Script Host\Settings"
set "wshuser=HKCU\Software\Microsoft\Windows Script Host\Settings"
set "machine="
set "user="
set "ignoreuser="
for /f "tokens=3" %%v in ('reg query "%wsh%" /v Enabled 2^>nul') do set "machine=%%v"
for /f "tokens=3" %%v in ('reg query "%wshuser%" /v Enabled 2^>nul') do set "user=%%v"
for /f "tokens=3" %%v in ('reg query "%wsh%" /v IgnoreUserSettings 2^>nul') do set "ignoreuser=%%v"
rem The user's value counts unless the machine's policy ignores it.
if "%ignoreuser%"=="1" set "user="
if "%ignoreuser%"=="0x1" set "user="
set "enabled=%machine%"
if defined user set "enabled=%user%"
if "%enabled%"=="0" goto :disabled
if "%enabled%"=="0x0" goto :disabled

set "ran=%TEMP%\StavoraCheck-started-%RANDOM%%RANDOM%.txt"
if exist "%ran%" del "%ran%"
rem The engine is named, so that a machine that opens .js files with
rem something else still runs the check.
"%SystemRoot%\System32\cscript.exe" //nologo //E:JScript "%~dp0check\Check.js" "%~dp0." "%ran%" %*
set "code=%ERRORLEVEL%"
if exist "%ran%" goto :ran
rem A script host that does not take //E: (Wine's runs nothing then) is
rem asked again by the file's extension.
"%SystemRoot%\System32\cscript.exe" //nologo "%~dp0check\Check.js" "%~dp0." "%ran%" %*
set "code=%ERRORLEVEL%"
if not exist "%ran%" goto :notrun
:ran
del "%ran%"
exit /b %code%

:disabled
echo FAIL: Windows Script Host is disabled on this machine by policy (Enabled = %enabled% under %wsh% or %wshuser%); the self-check needs cscript.exe
echo 0 passed, 1 failed
exit /b 1

:notrun
echo FAIL: Windows Script Host did not run check\Check.js (cscript.exe missing, blocked, or its JScript engine not registered)
echo 0 passed, 1 failed
exit /b 1
