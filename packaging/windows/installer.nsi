; The installer of Тавросин for Windows (NSIS 3, 64-bit Unicode stubs). scripts/package-windows
; runs makensis with -INPUTCHARSET UTF8 and defines VERSION, VIVERSION (the version in four numbers), DEPLOY (the folder of the zip: the
; executables, DLLs, plugins and translations), ICON and OUTFILE.
;
; An administrator installs for all users under Program Files, anyone else for themselves under
; %LOCALAPPDATA%\Programs. The marker file put beside the executables makes an installed copy keep
; its files (settings, history, results, logs) in the user's data folder, since a user may not write
; in Program Files; the uninstaller removes only what it installed and never touches that folder.
; /S installs silently with the defaults (no scheduled run).

Unicode true
Target amd64-unicode
SetCompressor /SOLID lzma
ManifestDPIAware true
RequestExecutionLevel highest

!include "MUI2.nsh"
!include "LogicLib.nsh"
!include "x64.nsh"
!include "FileFunc.nsh"

!define PRODUCT "Тавросин"
!define UNINSTALL_KEY "Software\Microsoft\Windows\CurrentVersion\Uninstall\Tavrosin"
; The name of the marker file beside the executables that tells an installed copy.
!define MARKER "tavrosin-installed"

Name "${PRODUCT}"
OutFile "${OUTFILE}"
InstallDir ""
BrandingText "${PRODUCT} ${VERSION}"
!define MUI_ICON "${ICON}"
!define MUI_UNICON "${ICON}"
!define MUI_ABORTWARNING
!define MUI_FINISHPAGE_RUN "$INSTDIR\tavrosin.exe"

!insertmacro MUI_PAGE_WELCOME
!insertmacro MUI_PAGE_COMPONENTS
!insertmacro MUI_PAGE_DIRECTORY
!insertmacro MUI_PAGE_INSTFILES
!insertmacro MUI_PAGE_FINISH
!insertmacro MUI_UNPAGE_CONFIRM
!insertmacro MUI_UNPAGE_INSTFILES
!insertmacro MUI_LANGUAGE "Russian"

VIProductVersion "${VIVERSION}"
VIAddVersionKey /LANG=${LANG_RUSSIAN} "ProductName" "${PRODUCT}"
VIAddVersionKey /LANG=${LANG_RUSSIAN} "FileDescription" "Установка программы ${PRODUCT}"
VIAddVersionKey /LANG=${LANG_RUSSIAN} "FileVersion" "${VERSION}"
VIAddVersionKey /LANG=${LANG_RUSSIAN} "ProductVersion" "${VERSION}"
VIAddVersionKey /LANG=${LANG_RUSSIAN} "LegalCopyright" "${PRODUCT}"

Var AllUsers

Function .onInit
  ${IfNot} ${RunningX64}
    MessageBox MB_ICONSTOP "${PRODUCT} работает только в 64-разрядной Windows." /SD IDOK
    Abort
  ${EndIf}
  SetRegView 64
  UserInfo::GetAccountType
  Pop $0
  ${If} $0 == "Admin"
    StrCpy $AllUsers 1
    SetShellVarContext all
    ${If} $INSTDIR == ""
      StrCpy $INSTDIR "$PROGRAMFILES64\${PRODUCT}"
    ${EndIf}
  ${Else}
    StrCpy $AllUsers 0
    SetShellVarContext current
    ${If} $INSTDIR == ""
      StrCpy $INSTDIR "$LOCALAPPDATA\Programs\${PRODUCT}"
    ${EndIf}
  ${EndIf}
FunctionEnd

Section "${PRODUCT}" SecProgram
  SectionIn RO
  SetOutPath "$INSTDIR"
  File /r "${DEPLOY}\*.*"
  FileOpen $0 "$INSTDIR\${MARKER}" w
  FileWrite $0 "Файлы программы хранятся в папке данных пользователя.$\r$\n"
  FileClose $0
  WriteUninstaller "$INSTDIR\uninstall.exe"

  CreateShortCut "$SMPROGRAMS\${PRODUCT}.lnk" "$INSTDIR\tavrosin.exe" "" "$INSTDIR\tavrosin.exe" 0

  ${If} $AllUsers == 1
    WriteRegStr HKLM "${UNINSTALL_KEY}" "DisplayName" "${PRODUCT}"
    WriteRegStr HKLM "${UNINSTALL_KEY}" "DisplayVersion" "${VERSION}"
    WriteRegStr HKLM "${UNINSTALL_KEY}" "DisplayIcon" "$INSTDIR\tavrosin.exe"
    WriteRegStr HKLM "${UNINSTALL_KEY}" "InstallLocation" "$INSTDIR"
    WriteRegStr HKLM "${UNINSTALL_KEY}" "UninstallString" '"$INSTDIR\uninstall.exe" /AllUsers'
    WriteRegDWORD HKLM "${UNINSTALL_KEY}" "NoModify" 1
    WriteRegDWORD HKLM "${UNINSTALL_KEY}" "NoRepair" 1
  ${Else}
    WriteRegStr HKCU "${UNINSTALL_KEY}" "DisplayName" "${PRODUCT}"
    WriteRegStr HKCU "${UNINSTALL_KEY}" "DisplayVersion" "${VERSION}"
    WriteRegStr HKCU "${UNINSTALL_KEY}" "DisplayIcon" "$INSTDIR\tavrosin.exe"
    WriteRegStr HKCU "${UNINSTALL_KEY}" "InstallLocation" "$INSTDIR"
    WriteRegStr HKCU "${UNINSTALL_KEY}" "UninstallString" '"$INSTDIR\uninstall.exe"'
    WriteRegDWORD HKCU "${UNINSTALL_KEY}" "NoModify" 1
    WriteRegDWORD HKCU "${UNINSTALL_KEY}" "NoRepair" 1
  ${EndIf}
SectionEnd

; Off by default: a daily run at 09:00 by the Task Scheduler, as the current user.
Section /o "Ежедневная выгрузка в 09:00 (Планировщик заданий)" SecSchedule
  nsExec::ExecToLog 'schtasks /create /tn "${PRODUCT}" /tr "\"$INSTDIR\tavrosin-run.exe\"" /sc daily /st 09:00 /f'
  Pop $0
  ${If} $0 != 0
    DetailPrint "Не удалось создать задание в Планировщике заданий (код $0)."
  ${EndIf}
SectionEnd

!insertmacro MUI_FUNCTION_DESCRIPTION_BEGIN
  !insertmacro MUI_DESCRIPTION_TEXT ${SecProgram} "Окно программы (tavrosin.exe) и выгрузка без окна (tavrosin-run.exe)."
  !insertmacro MUI_DESCRIPTION_TEXT ${SecSchedule} "Каждый день в 09:00 запускать tavrosin-run.exe; изменить время можно в Планировщике заданий."
!insertmacro MUI_FUNCTION_DESCRIPTION_END

Function un.onInit
  SetRegView 64
  ${GetOptions} $CMDLINE "/AllUsers" $0
  ${IfNot} ${Errors}
    SetShellVarContext all
  ${Else}
    SetShellVarContext current
  ${EndIf}
FunctionEnd

; Only what the installer put down: the user's settings, history, results and logs live in the
; user's data folder and stay.
Section "Uninstall"
  nsExec::ExecToLog 'schtasks /delete /tn "${PRODUCT}" /f'
  Pop $0
  Delete "$SMPROGRAMS\${PRODUCT}.lnk"
  Delete "$INSTDIR\tavrosin.exe"
  Delete "$INSTDIR\tavrosin-run.exe"
  Delete "$INSTDIR\*.dll"
  Delete "$INSTDIR\${MARKER}"
  RMDir /r "$INSTDIR\platforms"
  RMDir /r "$INSTDIR\styles"
  RMDir /r "$INSTDIR\imageformats"
  RMDir /r "$INSTDIR\translations"
  Delete "$INSTDIR\uninstall.exe"
  RMDir "$INSTDIR"
  DeleteRegKey HKLM "${UNINSTALL_KEY}"
  DeleteRegKey HKCU "${UNINSTALL_KEY}"
SectionEnd
