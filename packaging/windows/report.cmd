@echo off
rem Writes the stations' history of the site folder beside this file as one page,
rem site\log\report.html, and opens it in the browser. The window stays open to read what
rem mvo-report said.
cd /d "%~dp0"
"%~dp0mvo-report.exe" site
if exist "%~dp0site\log\report.html" start "" "%~dp0site\log\report.html"
echo.
pause
