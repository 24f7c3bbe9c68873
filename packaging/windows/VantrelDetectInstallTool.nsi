; Installer of the Windows program (scripts/make-installer.sh builds it with makensis):
;   makensis -DVERSION=1.0.5 -DDIST=<deployable folder> -DFILES=<its file list> -DOUTFILE=<setup.exe> \
;       [-DSIGN=<command>] [-DCOMPRESSOR=<NSIS compressor>] packaging/windows/VantrelDetectInstallTool.nsi
; FILES is the NSIS include that scripts/deploy-windows.sh writes beside the deployable folder
; (<folder>.files.nsh): every file of the folder, which the installer installs and the uninstaller
; deletes one by one.
; Installs into the 64-bit program files folder only, adds a Start-menu shortcut and the program's own
; uninstall entry in the 64-bit list (where the program looks for installed tools). There is no folder
; page: a folder such as C:\Tools inherits "Authenticated Users: Modify" from the drive root, so any
; user could replace the program or its DLLs, which every user's login starts and the uninstaller runs
; elevated. Another folder given with /D is refused with a message (none with /S), exit code 2, and
; nothing is installed. So is an install over the MSI package's (its uninstall entry names MsiExec, or
; the MSI's product is registered): the setup would replace that entry and leave the MSI's product and
; its policy values behind.
; Silent install and uninstall: /S. The uninstaller first asks a running copy to quit, as the tray's
; "退出" does, then deletes exactly the files it installed and removes a folder only once it is empty,
; so files that others put into the folder stay; it leaves the user's first-run flag file alone.
; Windows' own programs are run by their full path in the system folder ($SYSDIR), never by a bare
; name that the folder of the uninstaller or the current folder could answer first.
; An update installed over an earlier version first runs the earlier version's uninstaller, silently and
; in place: it deletes exactly the files that version installed, so none that the new version no longer
; ships stays behind. The user's start-with-login value, which that uninstaller removes, is put back;
; the first-run flag it leaves alone anyway.
; Signing: with -DSIGN=<command> (scripts/make-installer.sh passes scripts/sign-windows.sh when a key is
; set), makensis runs '<command> <file>' on the uninstaller before it embeds it and on the setup once
; written, and fails if either fails. The program and the DLLs are signed before makensis packs them.
; A 64-bit installer for a 64-bit program: it sees the native registry and program files folder.
Target amd64-unicode
!include "MUI2.nsh"
!include "${FILES}"

!define PRODUCT "VantrelDetectInstallTool"
!define DISPLAY_NAME "Tessary检测安装工具"
!define UNINSTALL_KEY "Software\Microsoft\Windows\CurrentVersion\Uninstall\${PRODUCT}"
!define RUN_KEY "Software\Microsoft\Windows\CurrentVersion\Run"

Name "${DISPLAY_NAME}"
OutFile "${OUTFILE}"
!ifdef SIGN
    !uninstfinalize '"${SIGN}" "%1"' = 0
    !finalize '"${SIGN}" "%1"' = 0
!endif
InstallDir "$PROGRAMFILES64\${PRODUCT}"
RequestExecutionLevel admin
; The smallest setup; a check that builds setups only to install them passes a faster one (zlib).
!ifndef COMPRESSOR
    !define COMPRESSOR "/SOLID lzma"
!endif
SetCompressor ${COMPRESSOR}
VIProductVersion "${VERSION}.0"
VIAddVersionKey /LANG=2052 "ProductName" "${PRODUCT}"
VIAddVersionKey /LANG=2052 "FileVersion" "${VERSION}"
VIAddVersionKey /LANG=2052 "ProductVersion" "${VERSION}"
VIAddVersionKey /LANG=2052 "FileDescription" "${DISPLAY_NAME}"
VIAddVersionKey /LANG=2052 "LegalCopyright" ""

!define MUI_ICON "..\..\resources\main.ico"
!define MUI_UNICON "..\..\resources\main.ico"
!insertmacro MUI_PAGE_INSTFILES
!insertmacro MUI_UNPAGE_CONFIRM
!insertmacro MUI_UNPAGE_INSTFILES
!insertmacro MUI_LANGUAGE "SimpChinese"

Function .onInit
    ; /D has set $INSTDIR before this runs; the comparison ignores case, as Windows paths do.
    StrCmp $INSTDIR "$PROGRAMFILES64\${PRODUCT}" folderAllowed
        MessageBox MB_OK|MB_ICONSTOP \
            "安装目录无效！$\r$\n${DISPLAY_NAME}只能安装到“$PROGRAMFILES64\${PRODUCT}”，不能安装到“$INSTDIR”。" \
            /SD IDOK
        SetErrorLevel 2
        Abort
    folderAllowed:
    ; The MSI package (packaging/windows/VantrelDetectInstallTool.wxs) writes "MsiExec.exe /X{…}" into the
    ; same entry; its product is found by its upgrade code.
    ReadRegStr $0 HKLM "${UNINSTALL_KEY}" "UninstallString"
    StrCpy $0 $0 7
    StrCmp $0 "MsiExec" msiInstalled
    System::Call 'msi::MsiEnumRelatedProductsW(w "{B01756AA-35ED-4137-A265-8E2D90801C05}", i 0, i 0, w .r1) i .r0'
    StrCmp $0 0 msiInstalled noMsi
    msiInstalled:
        MessageBox MB_OK|MB_ICONSTOP \
            "${DISPLAY_NAME}已由MSI安装包安装，请先在“应用和功能”中卸载它，再运行此安装程序。" \
            /SD IDOK
        SetErrorLevel 2
        Abort
    noMsi:
FunctionEnd

Section "Install"
    SetShellVarContext all
    ; An earlier version's uninstaller knows exactly its own files: run in place (_?=) it deletes them,
    ; asking a running copy to quit first, and is waited for; it cannot delete itself there.
    IfFileExists "$INSTDIR\uninstall.exe" 0 installFiles
        ReadRegStr $0 HKCU "${RUN_KEY}" "${PRODUCT}"
        ExecWait '"$INSTDIR\uninstall.exe" /S _?=$INSTDIR' $1
        DetailPrint "The earlier version's uninstaller ended with $1"
        Delete "$INSTDIR\uninstall.exe"
        StrCmp $0 "" installFiles
            WriteRegStr HKCU "${RUN_KEY}" "${PRODUCT}" $0
    installFiles:
    !insertmacro INSTALL_FILES
    SetOutPath "$INSTDIR"
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
        ExecWait '"$SYSDIR\taskkill.exe" /F /IM ${PRODUCT}.exe'
        Sleep 1000
        Delete "$INSTDIR\${PRODUCT}.exe"

    ; Exactly the files installed, then each folder only if nothing else is in it: the folder may hold
    ; files that others put there.
    !insertmacro DELETE_FILES
    Delete "$INSTDIR\uninstall.exe"
    !insertmacro REMOVE_EMPTY_FOLDERS
    RMDir "$INSTDIR"
    Delete "$SMPROGRAMS\${DISPLAY_NAME}.lnk"

    DeleteRegKey HKLM "${UNINSTALL_KEY}"
    DeleteRegValue HKCU "${RUN_KEY}" "${PRODUCT}"
SectionEnd
