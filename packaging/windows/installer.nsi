; qz670x-mp setup program for 64-bit Windows (makensis 3, Unicode).
; makensis -DVERSION=1.0.0 -DBIN_DIR=<folder of the .exe files> -DSOURCE_DIR=<project>
;          -DOUT_FILE=<setup .exe> installer.nsi
;
; Installs the static programs into Program Files, Start-menu entries for the dialog and the
; station window, an uninstaller registered under Add/Remove Programs, and
; %ProgramData%\qz670x-mp, the station's configuration folder, which only administrators
; (and SYSTEM) can change and every user can read. The production logs live under each user's
; %LOCALAPPDATA%\qz670x-mp and are never touched, neither here nor by the uninstaller.
; Exit codes: 0 done, 1 cancelled by the user, 2 stopped (a program still running, no
; administrator rights, the configuration folder could not be protected).

; A 64-bit setup program, like the programs it installs (and so it runs under a 64-bit-only Wine).
Target amd64-unicode
ManifestDPIAware true
RequestExecutionLevel admin
SetCompressor /SOLID lzma

!ifndef VERSION | BIN_DIR | SOURCE_DIR | OUT_FILE
  !error "define VERSION, BIN_DIR, SOURCE_DIR and OUT_FILE"
!endif

!define APP "qz670x-mp"
!define APP_NAME "QZ670x EEPROM Writer (MP)"
!define PUBLISHER "qz670x-mp maintainers"
!define UNINSTALL_KEY "Software\Microsoft\Windows\CurrentVersion\Uninstall\${APP}"
!define CONFIG_DIR "$COMMONPROGRAMDATA\${APP}"
; The configuration folder's access list, not inherited from %ProgramData%: SYSTEM and
; Administrators full control, Users read and list (0x1200a9); the same for what is created in it.
!define CONFIG_SDDL "D:PAI(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)(A;OICI;0x1200a9;;;BU)"

!include MUI2.nsh
!include LogicLib.nsh
!include x64.nsh
!include FileFunc.nsh

Name "${APP_NAME} ${VERSION}"
OutFile "${OUT_FILE}"
InstallDir "$PROGRAMFILES64\${APP}"
InstallDirRegKey HKLM "${UNINSTALL_KEY}" "InstallLocation"
BrandingText "${APP} ${VERSION}"

VIProductVersion "${VERSION}.0"
VIAddVersionKey "ProductName" "${APP_NAME}"
VIAddVersionKey "ProductVersion" "${VERSION}"
VIAddVersionKey "FileVersion" "${VERSION}"
VIAddVersionKey "FileDescription" "${APP_NAME} setup"
VIAddVersionKey "CompanyName" "${PUBLISHER}"
VIAddVersionKey "LegalCopyright" "${PUBLISHER}"

!define MUI_ICON "${SOURCE_DIR}/packaging/windows/qz670x-mp.ico"
!define MUI_UNICON "${SOURCE_DIR}/packaging/windows/qz670x-mp.ico"
!define MUI_ABORTWARNING
; (no "run now" box on the finish page: the program would run elevated, as the setup does, and
; keep its log in the administrator's profile instead of the operator's)
!define MUI_FINISHPAGE_TEXT "${APP_NAME} is installed. Start it from the Start menu: the dialog for one chip, or the station window."

!insertmacro MUI_PAGE_WELCOME
!insertmacro MUI_PAGE_LICENSE "${SOURCE_DIR}/LICENSE"
!insertmacro MUI_PAGE_DIRECTORY
!insertmacro MUI_PAGE_INSTFILES
!insertmacro MUI_PAGE_FINISH
!insertmacro MUI_UNPAGE_CONFIRM
!insertmacro MUI_UNPAGE_INSTFILES
!insertmacro MUI_LANGUAGE "English"

; A running program's .exe cannot be opened for writing: an installer or uninstaller that went
; on would leave a mix of two versions. Asks to close it (Retry/Cancel); a silent run stops.
!macro IN_USE name
  ${If} $1 == ""
  ${AndIf} ${FileExists} "$INSTDIR\${name}"
    ClearErrors
    FileOpen $0 "$INSTDIR\${name}" a
    ${If} ${Errors}
      StrCpy $1 "${name}"
    ${Else}
      FileClose $0
    ${EndIf}
  ${EndIf}
!macroend
!macro CHECK_NOT_RUNNING un
Function ${un}CheckNotRunning
  Push $0
  Push $1
  retry:
  StrCpy $1 ""
  !insertmacro IN_USE "qz670x-mp.exe"
  !insertmacro IN_USE "qz670x-mp-cli.exe"
  !insertmacro IN_USE "qz670x-make-image.exe"
  ${If} $1 != ""
    MessageBox MB_RETRYCANCEL|MB_ICONEXCLAMATION \
      "${APP} is running ($INSTDIR\$1).$\r$\n$\r$\nClose the dialog and the station window, let a running station finish its units and stop it, then choose Retry." \
      /SD IDCANCEL IDRETRY retry
    SetErrorLevel 2
    Abort "${APP} is running ($INSTDIR\$1): nothing was changed."
  ${EndIf}
  Pop $1
  Pop $0
FunctionEnd
!macroend
!insertmacro CHECK_NOT_RUNNING ""
!insertmacro CHECK_NOT_RUNNING "un."

Function .onInit
  ${IfNot} ${RunningX64}
    MessageBox MB_OK|MB_ICONSTOP "${APP} needs 64-bit Windows." /SD IDOK
    SetErrorLevel 2
    Quit
  ${EndIf}
  SetRegView 64
  SetShellVarContext all
  ; InstallDirRegKey reads the 32-bit view: take an earlier install's folder from the 64-bit one.
  ReadRegStr $0 HKLM "${UNINSTALL_KEY}" "InstallLocation"
  ${If} $0 != ""
    StrCpy $INSTDIR $0
  ${EndIf}
FunctionEnd

Function un.onInit
  SetRegView 64
  SetShellVarContext all
FunctionEnd

Section "qz670x-mp" SecMain
  SectionIn RO
  Call CheckNotRunning

  SetOutPath "$INSTDIR"
  File "${BIN_DIR}/qz670x-mp.exe"
  File "${BIN_DIR}/qz670x-mp-cli.exe"
  File "${BIN_DIR}/qz670x-make-image.exe"
  File "/oname=README.md" "${SOURCE_DIR}/README.md"
  File "/oname=LICENSE.txt" "${SOURCE_DIR}/LICENSE"
  File "/oname=THIRD-PARTY-NOTICES.txt" "${SOURCE_DIR}/packaging/windows/THIRD-PARTY-NOTICES.txt"
  File "/oname=qz670x-mp.ico" "${SOURCE_DIR}/packaging/windows/qz670x-mp.ico"
  WriteUninstaller "$INSTDIR\uninstall.exe"

  ; Start menu (all users)
  CreateDirectory "$SMPROGRAMS\${APP_NAME}"
  CreateShortCut "$SMPROGRAMS\${APP_NAME}\${APP_NAME}.lnk" "$INSTDIR\qz670x-mp.exe" "" \
    "$INSTDIR\qz670x-mp.exe" 0 SW_SHOWNORMAL "" "Write firmware images into QZ670x chips"
  CreateShortCut "$SMPROGRAMS\${APP_NAME}\QZ670x Station.lnk" "$INSTDIR\qz670x-mp.exe" \
    "--station" "$INSTDIR\qz670x-mp.exe" 0 SW_SHOWNORMAL "" \
    "Program QZ670x chips on several ports, with the production log"
  CreateShortCut "$SMPROGRAMS\${APP_NAME}\Uninstall ${APP_NAME}.lnk" "$INSTDIR\uninstall.exe"

  ; The station's configuration folder: administrators change it, users read it. Kept as it
  ; is when it exists already (an upgrade), but its access list is set again.
  CreateDirectory "${CONFIG_DIR}"
  Push "${CONFIG_DIR}"
  Call ProtectFolder

  ; Add/Remove Programs
  WriteRegStr HKLM "${UNINSTALL_KEY}" "DisplayName" "${APP_NAME}"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "DisplayVersion" "${VERSION}"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "Publisher" "${PUBLISHER}"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "DisplayIcon" "$INSTDIR\qz670x-mp.exe,0"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "InstallLocation" "$INSTDIR"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "UninstallString" '"$INSTDIR\uninstall.exe"'
  WriteRegStr HKLM "${UNINSTALL_KEY}" "QuietUninstallString" '"$INSTDIR\uninstall.exe" /S'
  WriteRegDWORD HKLM "${UNINSTALL_KEY}" "NoModify" 1
  WriteRegDWORD HKLM "${UNINSTALL_KEY}" "NoRepair" 1
  ${GetSize} "$INSTDIR" "/S=0K" $0 $1 $2
  IntFmt $0 "0x%08X" $0
  WriteRegDWORD HKLM "${UNINSTALL_KEY}" "EstimatedSize" "$0"
SectionEnd

; Sets the access list CONFIG_SDDL on the folder on the stack (protected: nothing inherited from
; above; Windows passes the inheritable entries on to what is in it already). Windows' own
; security API through the System plug-in, so no plug-in beyond Debian's nsis is needed.
Function ProtectFolder
  Exch $R0
  Push $0
  Push $1
  Push $2
  Push $3
  System::Call 'advapi32::ConvertStringSecurityDescriptorToSecurityDescriptorW(w "${CONFIG_SDDL}", i 1, *p .r1, p 0) i .r0'
  ${If} $0 == 0
    StrCpy $0 "the access list could not be made"
    Goto failed
  ${EndIf}
  System::Call 'advapi32::GetSecurityDescriptorDacl(p r1, *i .r2, *p .r3, *i) i .r0'
  ${If} $0 != 0
    ; SE_FILE_OBJECT 1; DACL_SECURITY_INFORMATION 4 | PROTECTED_DACL_SECURITY_INFORMATION
    System::Call 'advapi32::SetNamedSecurityInfoW(w R0, i 1, i 0x80000004, p 0, p 0, p r3, p 0) i .r0'
  ${Else}
    StrCpy $0 "no access list"
  ${EndIf}
  System::Call 'kernel32::LocalFree(p r1)'
  ${If} $0 != 0
    Goto failed
  ${EndIf}
  DetailPrint "Only administrators can change $R0."
  Goto done
  failed:
  MessageBox MB_OK|MB_ICONSTOP "The folder $R0 could not be protected ($0).$\r$\n$\r$\nThe programs are installed; run the setup program again as an administrator." /SD IDOK
  SetErrorLevel 2
  done:
  Pop $3
  Pop $2
  Pop $1
  Pop $0
  Pop $R0
FunctionEnd

Section "Uninstall"
  Call un.CheckNotRunning

  Delete "$INSTDIR\qz670x-mp.exe"
  Delete "$INSTDIR\qz670x-mp-cli.exe"
  Delete "$INSTDIR\qz670x-make-image.exe"
  Delete "$INSTDIR\README.md"
  Delete "$INSTDIR\LICENSE.txt"
  Delete "$INSTDIR\THIRD-PARTY-NOTICES.txt"
  Delete "$INSTDIR\qz670x-mp.ico"
  Delete "$INSTDIR\uninstall.exe"
  RMDir "$INSTDIR"

  Delete "$SMPROGRAMS\${APP_NAME}\${APP_NAME}.lnk"
  Delete "$SMPROGRAMS\${APP_NAME}\QZ670x Station.lnk"
  Delete "$SMPROGRAMS\${APP_NAME}\Uninstall ${APP_NAME}.lnk"
  RMDir "$SMPROGRAMS\${APP_NAME}"

  ; The station configuration (and any signing keys an administrator put there) stays unless
  ; the folder is empty; the production logs in each user's %LOCALAPPDATA% are not touched.
  RMDir "${CONFIG_DIR}"

  DeleteRegKey HKLM "${UNINSTALL_KEY}"
SectionEnd
