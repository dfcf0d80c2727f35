@echo off
rem Checks the site folder beside this file (site\) as the gateway reads it, without opening the
rem modem port: one line per finding, then how many. The window stays open to read them.
cd /d "%~dp0"
"%~dp0mvo-check.exe" site
echo.
pause
