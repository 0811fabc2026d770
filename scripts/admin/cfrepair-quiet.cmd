@echo off
rem CFRepair: silent repair pushed by management software, one line per machine.
rem Usage: cfrepair-quiet.cmd [shared folder]   (CFRepair.exe lies beside this file)
setlocal
set "SHARE=\\SERVER\cfrepair-log"
if not "%~1"=="" set "SHARE=%~1"
"%~dp0CFRepair.exe" /repair /quiet
set "CODE=%ERRORLEVEL%"
>"%SHARE%\%COMPUTERNAME%.txt" echo %COMPUTERNAME% %DATE% %TIME% %CODE%
exit /b %CODE%
