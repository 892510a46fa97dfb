@echo off
rem A current sweep: 0 to 100 mA in 10 mA steps, each held for a second. Stops at the first
rem step the controller does not take, with tarnwick's exit status. Either way it ends by
rem setting 0 mA, so the board is never left driving current.
rem It finds tarnwick.exe beside itself or one folder up (as the zip lays them out), so it
rem runs from any current directory, and double-clicked.
setlocal
set "tarnwick=%~dp0..\tarnwick.exe"
if exist "%~dp0tarnwick.exe" set "tarnwick=%~dp0tarnwick.exe"
rem Double-clicked, it has a window of its own (cmd /c): keep that open until a key is
rem pressed, so the result can be read. Started from a console it does not wait.
set "wait_at_end="
for %%a in (%cmdcmdline%) do if /i "%%~a"=="/c" set "wait_at_end=1"
set ma=0
set status=0
:step
"%tarnwick%" set %ma%mA
if errorlevel 1 goto stopped
if %ma%==100 goto done
timeout /t 1 /nobreak >nul
set /a ma=ma+10
goto step

:stopped
set status=%errorlevel%
echo sweep stopped at %ma%mA: tarnwick exited with status %status%; setting 0mA 1>&2
:done
"%tarnwick%" set 0mA
if defined wait_at_end pause
exit /b %status%
