@echo off
rem Runs mvo-gateway.exe in the site folder beside this file, and again 30 seconds after it ends:
rem it ends by itself when it gives up on the modem, and should come back like a service does.
cd /d "%~dp0site"
:again
"%~dp0mvo-gateway.exe"
rem A pause that needs no console (timeout.exe refuses to run without one).
ping -n 31 127.0.0.1 >nul
goto again
