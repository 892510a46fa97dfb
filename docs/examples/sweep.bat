@echo off
rem A current sweep: 0 to 100 mA in 10 mA steps, each held for a second. Stops at the first
rem step the controller does not take, with tarnwick's exit status. Either way it ends by
rem setting 0 mA, so the board is never left driving current.
setlocal
set ma=0
:step
tarnwick set %ma%mA
if errorlevel 1 goto stopped
if %ma%==100 goto done
timeout /t 1 /nobreak >nul
set /a ma=ma+10
goto step

:done
tarnwick set 0mA
exit /b 0

:stopped
set status=%errorlevel%
echo sweep stopped at %ma%mA: tarnwick exited with status %status%; setting 0mA 1>&2
tarnwick set 0mA
exit /b %status%
