; Installer of the Windows program (scripts/make-installer.sh builds it with makensis):
;   makensis -DVERSION=1.0.5 -DDIST=<deployable folder> -DOUTFILE=<setup.exe> installer/VantrelDetectInstallTool.nsi
; Installs the deployable folder into the 64-bit program files folder, adds a Start-menu shortcut and
; the program's own uninstall entry in the 64-bit list (where the program looks for installed tools).
; Silent install and uninstall: /S. The uninstaller first asks a running copy to quit, as the tray's
; "退出" does, and leaves the user's first-run flag file alone. Nothing here is signed: a deployer
; signs the program and the DLLs before makensis runs, and the setup file after.
; A 64-bit installer for a 64-bit program: it sees the native registry and program files folder.
Target amd64-unicode
!include "MUI2.nsh"

!define PRODUCT "VantrelDetectInstallTool"
!define DISPLAY_NAME "Tessary检测安装工具"
!define UNINSTALL_KEY "Software\Microsoft\Windows\CurrentVersion\Uninstall\${PRODUCT}"
!define RUN_KEY "Software\Microsoft\Windows\CurrentVersion\Run"

Name "${DISPLAY_NAME}"
OutFile "${OUTFILE}"
InstallDir "$PROGRAMFILES64\${PRODUCT}"
RequestExecutionLevel admin
SetCompressor /SOLID lzma
VIProductVersion "${VERSION}.0"
VIAddVersionKey /LANG=2052 "ProductName" "${PRODUCT}"
VIAddVersionKey /LANG=2052 "FileVersion" "${VERSION}"
VIAddVersionKey /LANG=2052 "ProductVersion" "${VERSION}"
VIAddVersionKey /LANG=2052 "FileDescription" "${DISPLAY_NAME}"
VIAddVersionKey /LANG=2052 "LegalCopyright" ""

!define MUI_ICON "..\resources\main.ico"
!define MUI_UNICON "..\resources\main.ico"
!insertmacro MUI_PAGE_DIRECTORY
!insertmacro MUI_PAGE_INSTFILES
!insertmacro MUI_UNPAGE_CONFIRM
!insertmacro MUI_UNPAGE_INSTFILES
!insertmacro MUI_LANGUAGE "SimpChinese"

Section "Install"
    SetShellVarContext all
    SetOutPath "$INSTDIR"
    File /r "${DIST}\*"
    WriteUninstaller "$INSTDIR\uninstall.exe"
    CreateShortCut "$SMPROGRAMS\${DISPLAY_NAME}.lnk" "$INSTDIR\${PRODUCT}.exe"

    WriteRegStr HKLM "${UNINSTALL_KEY}" "DisplayName" "${DISPLAY_NAME}"
    WriteRegStr HKLM "${UNINSTALL_KEY}" "DisplayVersion" "${VERSION}"
    WriteRegStr HKLM "${UNINSTALL_KEY}" "Publisher" ""
    WriteRegStr HKLM "${UNINSTALL_KEY}" "InstallLocation" "$INSTDIR"
    WriteRegStr HKLM "${UNINSTALL_KEY}" "DisplayIcon" "$INSTDIR\${PRODUCT}.exe,0"
    WriteRegStr HKLM "${UNINSTALL_KEY}" "UninstallString" '"$INSTDIR\uninstall.exe"'
    WriteRegStr HKLM "${UNINSTALL_KEY}" "QuietUninstallString" '"$INSTDIR\uninstall.exe" /S'
    WriteRegDWORD HKLM "${UNINSTALL_KEY}" "NoModify" 1
    WriteRegDWORD HKLM "${UNINSTALL_KEY}" "NoRepair" 1
SectionEnd

Section "Uninstall"
    SetShellVarContext all
    ; A running copy holds its files open: ask it to quit (the asking copy waits until it has), and
    ; end it only if it is still there.
    ExecWait '"$INSTDIR\${PRODUCT}.exe" --quit'
    Delete "$INSTDIR\${PRODUCT}.exe"
    IfFileExists "$INSTDIR\${PRODUCT}.exe" 0 +4
        ExecWait 'taskkill /F /IM ${PRODUCT}.exe'
        Sleep 1000
        Delete "$INSTDIR\${PRODUCT}.exe"

    ; Only what the installer put there: a folder the user chose may hold other files.
    Delete "$INSTDIR\*.dll"
    Delete "$INSTDIR\LICENSE.*"
    RMDir /r "$INSTDIR\platforms"
    RMDir /r "$INSTDIR\styles"
    RMDir /r "$INSTDIR\imageformats"
    Delete "$INSTDIR\uninstall.exe"
    RMDir "$INSTDIR"
    Delete "$SMPROGRAMS\${DISPLAY_NAME}.lnk"

    DeleteRegKey HKLM "${UNINSTALL_KEY}"
    DeleteRegValue HKCU "${RUN_KEY}" "${PRODUCT}"
SectionEnd
