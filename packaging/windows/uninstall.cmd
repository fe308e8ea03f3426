@echo off
rem Unregisters TELVOR.AX and TELVOR32.AX (the ones in this folder) from both
rem registry views; install.cmd does the work.
call "%~dp0install.cmd" /u %*
exit /b %errorlevel%
