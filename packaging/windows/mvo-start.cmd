@echo off
rem Runs mvo-gateway.exe in the site folder beside this file, and again 10 seconds after it ends,
rem as the Linux service does: it ends by itself when it gives up on the modem (status 0), and,
rem with MVO_ON_HALT=exit, after a halt (status 1: a configuration fault, or a fatal stop such as
rem a USB modem whose port state cannot be read while it re-enumerates) instead of waiting for
rem ever with the port held.
rem Ctrl-C or Ctrl-Break asks the gateway to stop: it finishes the report it is forwarding, shuts
rem the modem down and ends; then answer Y to end this script too.
cd /d "%~dp0site"
set MVO_ON_HALT=exit
:again
"%~dp0mvo-gateway.exe"
echo mvo-gateway ended with status %ERRORLEVEL%; starting it again in 10 seconds.
rem A pause that needs no console (timeout.exe refuses to run without one).
ping -n 11 127.0.0.1 >nul
goto again
