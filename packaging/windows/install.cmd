@echo off
rem Registers TELVOR.AX for 64-bit and TELVOR32.AX for 32-bit applications from
rem the folder this script sits in, each with the regsvr32 of its own bitness.
rem "install.cmd /u" unregisters them (uninstall.cmd does that). Exit code 0
rem when every module present was done, 1 otherwise.
setlocal
set "mode=%~1"
if /i not "%mode%"=="/u" set "mode="
set "here=%~dp0"
set failed=0
set "done=Registered"
set "doing=Registering"
if defined mode set "done=Unregistered"
if defined mode set "doing=Unregistering"
set denied=0

rem A 32-bit cmd on 64-bit Windows sees SysWOW64 as System32; Sysnative is the
rem way back to the 64-bit tools from there.
set "arch=%PROCESSOR_ARCHITECTURE%"
set "sys64=%SystemRoot%\System32"
if defined PROCESSOR_ARCHITEW6432 set "arch=%PROCESSOR_ARCHITEW6432%"
if defined PROCESSOR_ARCHITEW6432 set "sys64=%SystemRoot%\Sysnative"
if /i "%arch%"=="x86" goto windows32
call :module "%sys64%" TELVOR.AX 64
call :module "%SystemRoot%\SysWOW64" TELVOR32.AX 32
goto done
:windows32
call :module "%SystemRoot%\System32" TELVOR32.AX 32

:done
if %denied%==0 goto finish
rem regsvr32 answers 5 when the module could not write its entries, which
rem without administrator rights is the usual cause: ask for them once.
if /i "%~2"=="elevated" goto finish
if /i "%~1"=="elevated" goto finish
net session >nul 2>&1
if not errorlevel 1 goto finish
echo Administrator rights are needed: running this script again elevated.
rem The script's path reaches PowerShell as data in the environment, never as
rem code, so apostrophes, brackets and ampersands in folder names stay as they
rem are. The elevated cmd gets the quoted path and the arguments inside one
rem more pair of quotes, which cmd /c takes off again.
set "TELVOR_SCRIPT=%~f0"
set "TELVOR_ARGUMENTS=%mode% elevated"
powershell -NoProfile -Command "$q = [char]34; $line = '/c ' + $q + $q + $env:TELVOR_SCRIPT + $q + ' ' + $env:TELVOR_ARGUMENTS + $q; $p = Start-Process -Verb RunAs -Wait -PassThru -FilePath $env:ComSpec -ArgumentList $line; exit $p.ExitCode"
exit /b %errorlevel%

:finish
if /i "%~1"=="elevated" pause
if /i "%~2"=="elevated" pause
exit /b %failed%

rem :module <regsvr32 folder> <module file> <bitness>
:module
if exist "%here%%~2" goto present
if defined mode goto :eof
echo %~2 is not in "%here%": %~3-bit applications will not see the cameras.
goto :eof
:present
rem Windows without its 32-bit subsystem (a Server Core option) has no
rem SysWOW64 tools: nothing there could load the module anyway.
if exist "%~1\regsvr32.exe" goto start
if not defined mode echo %~2 was not registered: this Windows runs no %~3-bit applications, it has no "%~1\regsvr32.exe".
goto :eof
:start
"%~1\regsvr32.exe" /s %mode% "%here%%~2"
set rc=%errorlevel%
rem 9009: regsvr32 did not start at all. A busy system can refuse a start now
rem and then (seen under Wine), so that alone gets one more try.
if not %rc%==9009 goto judged
echo Starting regsvr32 for %~2 failed, trying once more.
"%~1\regsvr32.exe" /s %mode% "%here%%~2"
set rc=%errorlevel%
:judged
if %rc%==0 echo %done% %~2 for %~3-bit applications.
if %rc%==0 goto :eof
echo %doing% %~2 for %~3-bit applications failed (regsvr32 exit code %rc%).
set failed=1
if %rc%==5 set denied=1
goto :eof
