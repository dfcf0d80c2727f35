@echo off
rem Stops the gateway that the task "MVO gateway" started (run it as administrator): first the
rem task, so that mvo-start.cmd does not start the gateway again, then mvo-gateway.exe, asked to
rem end; one that has not ended after 90 seconds is ended by force.
schtasks /End /TN "MVO gateway"
taskkill /IM mvo-gateway.exe >nul 2>&1
for /L %%i in (1,1,90) do (
  tasklist /FI "IMAGENAME eq mvo-gateway.exe" | find /I "mvo-gateway.exe" >nul || goto stopped
  ping -n 2 127.0.0.1 >nul
)
echo mvo-gateway.exe did not end within 90 seconds: ending it by force.
taskkill /F /IM mvo-gateway.exe
:stopped
echo The gateway has stopped. Start it again with: schtasks /Run /TN "MVO gateway"
pause
