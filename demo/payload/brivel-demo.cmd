@echo off
rem The demo application: prints its greeting from settings.ini.
for /f "tokens=1,* delims==" %%a in ('type "%~dp0settings.ini"') do (
  if "%%a"=="greeting" echo %%b
)
