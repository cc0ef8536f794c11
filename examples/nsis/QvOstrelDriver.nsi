; QvOstrelDriver.nsi: a 64-bit NSIS installer that carries QvOstrelSetup.exe and
; the QvOstrel driver packages, and installs, upgrades and removes the driver
; through the tool.
;
; Build (tools/examples does this against the test packages):
;   makensis -DPRODUCT_VERSION=1.0.1 -DSETUP_EXE=<QvOstrelSetup.exe>
;            -DDRIVER_PACKAGES=<folder with Win10-x64\, Win8-x64\, ...>
;            -DOUT_FILE=<QvOstrelDriver-setup.exe> QvOstrelDriver.nsi
;
; Run silently with /S (the installer and the uninstaller). The installer's
; exit code tells the caller what happened:
;   0      installed or upgraded, the driver runs
;   3010   the installed driver refused to stop (the tool's 2404): the new files
;          are in place, the driver upgrade happens when the installer runs
;          again after a restart; the reboot flag is set
;   5      not run by an administrator; nothing was done
;   other  the tool's own exit code: -install failed (1627 also when the tool
;          did not start). A first installation is undone: its files, and
;          the driver (the tool's -uninstall) when no driver service existed
;          before it. An upgrade keeps the new files and the old entry in
;          the list of installed programs
;   1, 2   NSIS's own codes: cancelled by the user, or aborted before the tool
;          ran
; The uninstaller answers 0, 5, or the tool's -uninstall code (and then keeps
; the tool and its packages, so that the removal can run again). The
; registered UninstallString and QuietUninstallString run it in place (_?=),
; so that their caller waits for the removal and reads that code; the
; uninstaller's own exe and the emptied folders are deleted at the next
; restart.
;
; NSIS runs no transaction: what a failed step leaves behind is undone by this
; script, step by step, not by the engine.

Unicode true
Target amd64-unicode

!include LogicLib.nsh
!include FileFunc.nsh

!macro RequireDefine name
  !ifndef ${name}
    !error "define ${name} with -D${name}=... (see the head of this file)"
  !endif
!macroend
!insertmacro RequireDefine PRODUCT_VERSION
!insertmacro RequireDefine SETUP_EXE
!insertmacro RequireDefine DRIVER_PACKAGES
!insertmacro RequireDefine OUT_FILE

!define PRODUCT_NAME "QvOstrel Driver"
!define UNINSTALL_KEY "Software\Microsoft\Windows\CurrentVersion\Uninstall\QvOstrelDriver"
; Every run of the tool appends to this log: a folder only administrators can
; write to, where setup logs live, and which stays after the product is gone.
!define TOOL_LOG "$WINDIR\Logs\QvOstrelSetup.log"
; ERROR_SUCCESS_REBOOT_REQUIRED: what deployment systems read as "succeeded,
; restart to finish".
!define EXIT_RESTART_REQUIRED 3010
; The tool's code for "the installed driver refused to stop; nothing changed,
; install again after a restart".
!define TOOL_DRIVER_IN_USE 2404

Name "${PRODUCT_NAME}"
OutFile "${OUT_FILE}"
InstallDir "$PROGRAMFILES64\Orvane\QvOstrel"
; Installing a kernel driver needs an administrator: the installer asks for
; elevation, and .onInit refuses to go on without it.
RequestExecutionLevel admin
ShowInstDetails show
ShowUninstDetails show

Var ToolExit
Var PreviousVersion
Var ServiceFound

Function .onInit
  SetShellVarContext all
  SetRegView 64
  UserInfo::GetAccountType
  Pop $0
  ${If} $0 != "Admin"
    MessageBox MB_ICONSTOP "The QvOstrel driver is installed by an administrator." /SD IDOK
    SetErrorLevel 5 ; ERROR_ACCESS_DENIED
    Quit
  ${EndIf}
FunctionEnd

Section "Driver"
  ReadRegStr $PreviousVersion HKLM "${UNINSTALL_KEY}" "DisplayVersion"
  ; Whether the driver's service exists already, from whatever installed it.
  ClearErrors
  ReadRegDWORD $0 HKLM "SYSTEM\CurrentControlSet\Services\QvOstrel" "Type"
  ${If} ${Errors}
    StrCpy $ServiceFound ""
  ${Else}
    StrCpy $ServiceFound "yes"
  ${EndIf}

  SetOutPath "$INSTDIR"
  File "/oname=QvOstrelSetup.exe" "${SETUP_EXE}"
  SetOutPath "$INSTDIR\drivers"
  File /r "${DRIVER_PACKAGES}\*.*"
  SetOutPath "$INSTDIR"

  ; Quote each option as one argument; a folder value has no trailing
  ; backslash, which would escape the closing quote.
  DetailPrint "Installing the QvOstrel driver"
  ClearErrors
  ExecWait '"$INSTDIR\QvOstrelSetup.exe" -install "drivers-path=$INSTDIR\drivers" "log=${TOOL_LOG}"' $ToolExit
  ${If} ${Errors}
    ; The tool did not start at all.
    StrCpy $ToolExit 1627 ; ERROR_FUNCTION_FAILED
  ${EndIf}

  ${If} $ToolExit == ${TOOL_DRIVER_IN_USE}
    ; The running driver refused to stop within the tool's wait and nothing
    ; was changed. The new files stay; after a restart the old driver is no
    ; longer held and running this installer again upgrades it.
    DetailPrint "The QvOstrel driver is in use: restart, then run this setup again to finish the upgrade."
    SetRebootFlag true
    SetErrorLevel ${EXIT_RESTART_REQUIRED}
  ${ElseIf} $ToolExit != 0
    DetailPrint "QvOstrelSetup.exe -install failed with exit code $ToolExit (see ${TOOL_LOG})."
    ${If} $PreviousVersion == ""
      ; A first installation: take away whatever the failed -install left
      ; (a service that did not start, a copied image), then the files. A
      ; driver that was there before (another installer's, a script's) is
      ; never removed.
      ${If} $ServiceFound == ""
        ExecWait '"$INSTDIR\QvOstrelSetup.exe" -uninstall "drivers-path=$INSTDIR\drivers" "log=${TOOL_LOG}"'
      ${EndIf}
      Call RemoveProductFiles
    ${EndIf}
    SetErrorLevel $ToolExit
    Abort "QvOstrelSetup.exe -install failed with exit code $ToolExit."
  ${EndIf}

  WriteUninstaller "$INSTDIR\uninstall.exe"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "DisplayName" "${PRODUCT_NAME}"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "DisplayVersion" "${PRODUCT_VERSION}"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "Publisher" "Orvane"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "InstallLocation" "$INSTDIR"
  ; Both commands run the uninstaller in place (_?=, always last and never
  ; quoted). Started without it, an NSIS uninstaller copies itself to the
  ; temporary folder, starts the copy and ends at once with 0: a deployment
  ; system would read "removed" while the removal still runs, and never see
  ; its code. In place, the process ends when the removal has ended, with its
  ; code.
  WriteRegStr HKLM "${UNINSTALL_KEY}" "UninstallString" '"$INSTDIR\uninstall.exe" _?=$INSTDIR'
  WriteRegStr HKLM "${UNINSTALL_KEY}" "QuietUninstallString" '"$INSTDIR\uninstall.exe" /S _?=$INSTDIR'
  WriteRegDWORD HKLM "${UNINSTALL_KEY}" "NoModify" 1
  WriteRegDWORD HKLM "${UNINSTALL_KEY}" "NoRepair" 1
SectionEnd

; The installed files and folders, and nothing else: the product's own
; folder, and the maker's folder above it when it is empty.
!macro RemoveProductFilesBody
  ; A folder that is a process's current folder cannot be removed.
  SetOutPath "$TEMP"
  RMDir /r "$INSTDIR\drivers"
  Delete "$INSTDIR\QvOstrelSetup.exe"
  ; The uninstaller runs in place (see the registered commands) and holds
  ; its own exe open: Windows neither deletes nor renames it while it runs.
  ; It and the emptied folders go at the next restart. (A reinstallation
  ; before that restart loses its new uninstall.exe at the restart too; run
  ; the installer again after it.)
  Delete /REBOOTOK "$INSTDIR\uninstall.exe"
  RMDir /REBOOTOK "$INSTDIR"
  ${GetParent} "$INSTDIR" $R0
  RMDir /REBOOTOK "$R0"
!macroend

Function RemoveProductFiles
  !insertmacro RemoveProductFilesBody
FunctionEnd

Function un.onInit
  SetShellVarContext all
  SetRegView 64
  UserInfo::GetAccountType
  Pop $0
  ${If} $0 != "Admin"
    MessageBox MB_ICONSTOP "The QvOstrel driver is removed by an administrator." /SD IDOK
    SetErrorLevel 5 ; ERROR_ACCESS_DENIED
    Quit
  ${EndIf}
FunctionEnd

Section "Uninstall"
  ; The hardlinks folder: the product links its files into $INSTDIR\hl while
  ; it runs (hard links must stay on the volume of their targets), and the
  ; tool empties and removes it after the driver is gone.
  DetailPrint "Removing the QvOstrel driver"
  ClearErrors
  ExecWait '"$INSTDIR\QvOstrelSetup.exe" -uninstall "drivers-path=$INSTDIR\drivers" "ostrel-hl-path=$INSTDIR\hl" "log=${TOOL_LOG}"' $ToolExit
  ${If} ${Errors}
    StrCpy $ToolExit 1627 ; ERROR_FUNCTION_FAILED
  ${EndIf}
  ${If} $ToolExit != 0
    ; A failed uninstall is not forced through: the tool and its packages
    ; stay, so that the removal can run again.
    DetailPrint "QvOstrelSetup.exe -uninstall failed with exit code $ToolExit (see ${TOOL_LOG})."
    SetErrorLevel $ToolExit
    Abort "QvOstrelSetup.exe -uninstall failed with exit code $ToolExit."
  ${EndIf}

  !insertmacro RemoveProductFilesBody
  DeleteRegKey HKLM "${UNINSTALL_KEY}"
SectionEnd
