@echo off
rem A current sweep: 0 to 100 mA in 10 mA steps, each held for a second. Stops at the first
rem step the controller does not take, with tarnwick's exit status.
for %%m in (0 10 20 30 40 50 60 70 80 90 100) do call :step %%m || exit /b
exit /b 0

:step
tarnwick set %1mA
if errorlevel 1 (
  echo sweep stopped at %1mA: tarnwick exited with status %errorlevel% 1>&2
  exit /b %errorlevel%
)
timeout /t 1 /nobreak >nul
exit /b 0
