; The Windows installer: the window, the demo and the command-line tool, the
; Qt and runtime DLLs they load, a Start-menu folder, an uninstaller and the
; entry in Add/Remove Programs. For all users: the window needs an
; administrator anyway, for raw disk access.
; The build passes VERSION, FILES (the lists ListFiles.cmake writes), ICON
; and OUTFILE; see CMakeLists.txt beside this file.

Unicode true
Target amd64-unicode
SetCompressor /SOLID lzma
RequestExecutionLevel admin

!include MUI2.nsh
!include LogicLib.nsh
!include FileFunc.nsh
!include "${FILES}"

!define UNINSTALL_KEY "Software\Microsoft\Windows\CurrentVersion\Uninstall\Ardenvel"
!define MENU "$SMPROGRAMS\Ardenvel"
; The window's single-instance mutex.
!define INSTANCE_MUTEX "Global\QX_GUI"

Name "Ardenvel ${VERSION}"
OutFile "${OUTFILE}"
InstallDir "$PROGRAMFILES64\Ardenvel"
BrandingText "Ardenvel ${VERSION}"
VIProductVersion "${VERSION}.0.0"
VIAddVersionKey "ProductName" "Ardenvel"
VIAddVersionKey "FileDescription" "Ardenvel ${VERSION} setup"
VIAddVersionKey "FileVersion" "${VERSION}"
VIAddVersionKey "ProductVersion" "${VERSION}"
VIAddVersionKey "LegalCopyright" "The Ardenvel developers"

!define MUI_ICON "${ICON}"
!define MUI_UNICON "${ICON}"
!define MUI_ABORTWARNING
!define MUI_FINISHPAGE_RUN "$INSTDIR\ardenvel.exe"
!define MUI_FINISHPAGE_RUN_TEXT "Start Ardenvel"
!insertmacro MUI_PAGE_DIRECTORY
!insertmacro MUI_PAGE_INSTFILES
!insertmacro MUI_PAGE_FINISH
!insertmacro MUI_UNPAGE_CONFIRM
!insertmacro MUI_UNPAGE_INSTFILES
!insertmacro MUI_LANGUAGE "English"

; Files of a running window cannot be replaced or removed: ask the user to
; close it first. A silent run gives up instead.
!macro WAIT_UNTIL_CLOSED
  retry:
    System::Call 'kernel32::OpenMutexW(i 0x00100000, i 0, w "${INSTANCE_MUTEX}") p .r0'
    ${If} $0 != 0
      System::Call 'kernel32::CloseHandle(p r0)'
      MessageBox MB_RETRYCANCEL|MB_ICONEXCLAMATION "Ardenvel is running. Close its window, then choose Retry." \
        /SD IDCANCEL IDRETRY retry
      Abort
    ${EndIf}
!macroend

; The day's log files and record dumps the program wrote into a folder, and
; the folder when that leaves it empty.
!macro REMOVE_LOGS DIR
  Delete "${DIR}\??????.log"
  Delete "${DIR}\SPIREC*.bin"
  RMDir "${DIR}"
!macroend

Function .onInit
  SetShellVarContext all
  !insertmacro WAIT_UNTIL_CLOSED
FunctionEnd

Function un.onInit
  SetShellVarContext all
  !insertmacro WAIT_UNTIL_CLOSED
FunctionEnd

Section "Ardenvel"
  !insertmacro ARDENVEL_INSTALL_FILES
  WriteUninstaller "$INSTDIR\uninstall.exe"

  CreateDirectory "${MENU}"
  CreateShortcut "${MENU}\Ardenvel.lnk" "$INSTDIR\ardenvel.exe"
  CreateShortcut "${MENU}\Ardenvel demo.lnk" "$INSTDIR\ardenvel-demo.exe"

  WriteRegStr HKLM "${UNINSTALL_KEY}" "DisplayName" "Ardenvel"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "DisplayVersion" "${VERSION}"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "Publisher" "Ardenvel"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "DisplayIcon" "$INSTDIR\ardenvel.exe,0"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "InstallLocation" "$INSTDIR"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "UninstallString" '"$INSTDIR\uninstall.exe"'
  WriteRegStr HKLM "${UNINSTALL_KEY}" "QuietUninstallString" '"$INSTDIR\uninstall.exe" /S'
  WriteRegDWORD HKLM "${UNINSTALL_KEY}" "NoModify" 1
  WriteRegDWORD HKLM "${UNINSTALL_KEY}" "NoRepair" 1
  ${GetSize} "$INSTDIR" "/S=0K" $0 $1 $2
  WriteRegDWORD HKLM "${UNINSTALL_KEY}" "EstimatedSize" "$0"
SectionEnd

Section "Uninstall"
  !insertmacro ARDENVEL_REMOVE_FILES
  Delete "$INSTDIR\uninstall.exe"
  Delete "${MENU}\Ardenvel.lnk"
  Delete "${MENU}\Ardenvel demo.lnk"
  RMDir "${MENU}"
  DeleteRegKey HKLM "${UNINSTALL_KEY}"

  ; The event logs and record dumps are the user's: they go only when the
  ; user says so (a silent uninstall keeps them).
  ${If} ${FileExists} "$INSTDIR\*.log"
  ${OrIf} ${FileExists} "$INSTDIR\SPIREC*.bin"
  ${OrIf} ${FileExists} "$APPDATA\Ardenvel\*.*"
    MessageBox MB_YESNO|MB_ICONQUESTION "Remove Ardenvel's event logs and record dumps as well?" /SD IDNO IDNO keep
    !insertmacro REMOVE_LOGS "$INSTDIR"
    !insertmacro REMOVE_LOGS "$APPDATA\Ardenvel"
  keep:
  ${EndIf}
  RMDir "$INSTDIR"

  ; The demo's emulated enclosures, firmware images and log, kept per user.
  SetShellVarContext current
  RMDir /r "$LOCALAPPDATA\ardenvel-demo"
SectionEnd
