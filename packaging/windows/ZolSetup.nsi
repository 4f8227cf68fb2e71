; ZolSetup.exe: the Windows programs into C:\Program Files\Halvern\ZOL\BIN,
; both services registered and started, the configuration tool in the Start
; menu, and an uninstaller. Made by the build (makensis), which defines
; VERSION (the project's, a.b.c.d), BIN_DIR (the programs), SOURCE_DIR and
; OUT_FILE. /S installs or uninstalls silently; the uninstaller removes the
; log folder too only when asked (a question, or /REMOVELOG with /S).
Unicode true
Target amd64-unicode
SetCompressor /SOLID lzma
ManifestSupportedOS all

!include LogicLib.nsh
!include FileFunc.nsh

!define PRODUCT "ZOL"
!define PUBLISHER "Halvern"
!define UNINSTALL_KEY "Software\Microsoft\Windows\CurrentVersion\Uninstall\ZOL"
!define START_MENU_LINK "ZOL Configuration Tool.lnk"
; Service control manager and service rights, states.
!define SC_MANAGER_CONNECT 0x1
!define SERVICE_QUERY_STATUS 0x4
!define SERVICE_START 0x10
!define SERVICE_STOP 0x20
!define SERVICE_CONTROL_STOP 1
!define SERVICE_STOPPED 1
!define SERVICE_START_PENDING 2
!define SERVICE_RUNNING 4
!define SYNCHRONIZE 0x100000
; A service's stop or start, and a process's end, are waited for this long.
!define WAIT_STEPS 120
!define WAIT_STEP_MS 250
!define WAIT_MS 30000
!define INSTALL_TRIES 30
!define INSTALL_RETRY_MS 1000
!define ERROR_ELEVATION_REQUIRED 740

Name "${PRODUCT} ${VERSION}"
OutFile "${OUT_FILE}"
InstallDir "$PROGRAMFILES64\Halvern\ZOL"
RequestExecutionLevel admin
Icon "${SOURCE_DIR}/configtool/win32/ZolConfig.ico"
UninstallIcon "${SOURCE_DIR}/configtool/win32/ZolConfig.ico"
ShowInstDetails show
ShowUninstDetails show

VIProductVersion "${VERSION}"
VIFileVersion "${VERSION}"
VIAddVersionKey "ProductName" "${PRODUCT}"
VIAddVersionKey "CompanyName" "${PUBLISHER}"
VIAddVersionKey "FileDescription" "${PRODUCT} Setup"
VIAddVersionKey "FileVersion" "${VERSION}"
VIAddVersionKey "ProductVersion" "${VERSION}"
VIAddVersionKey "LegalCopyright" "${PUBLISHER}"

Page instfiles
UninstPage uninstConfirm
UninstPage instfiles

Var Service     ; the service the functions below act on
Var State       ; its state (0: not installed)
Var ProcessId   ; its process while it runs

; Both the installer and the uninstaller need these.
!macro ServiceFunctions un
; State and ProcessId of Service.
Function ${un}QueryService
  StrCpy $State 0
  StrCpy $ProcessId 0
  System::Call 'advapi32::OpenSCManagerW(p 0, p 0, i ${SC_MANAGER_CONNECT}) p.r1'
  ${If} $1 P<> 0
    System::Call 'advapi32::OpenServiceW(p r1, w "$Service", i ${SERVICE_QUERY_STATUS}) p.r2'
    ${If} $2 P<> 0
      ; SERVICE_STATUS_PROCESS: nine DWORDs.
      System::Call '*(&i36) p.r3'
      System::Call 'advapi32::QueryServiceStatusEx(p r2, i 0, p r3, i 36, *i .r4) i.r5'
      ${If} $5 <> 0
        System::Call '*$3(i, i .r6, i, i, i, i, i, i .r7)'
        StrCpy $State $6
        StrCpy $ProcessId $7
      ${EndIf}
      System::Free $3
      System::Call 'advapi32::CloseServiceHandle(p r2)'
    ${EndIf}
    System::Call 'advapi32::CloseServiceHandle(p r1)'
  ${EndIf}
FunctionEnd

; Sends Service a control (start: 0) with the given right; $0 is the result.
Function ${un}ControlService
  Pop $8  ; control
  Pop $9  ; right
  StrCpy $0 0
  System::Call 'advapi32::OpenSCManagerW(p 0, p 0, i ${SC_MANAGER_CONNECT}) p.r1'
  ${If} $1 P<> 0
    System::Call 'advapi32::OpenServiceW(p r1, w "$Service", i r9) p.r2'
    ${If} $2 P<> 0
      ${If} $8 = 0
        System::Call 'advapi32::StartServiceW(p r2, i 0, p 0) i.r0'
      ${Else}
        System::Call '*(&i28) p.r3'
        System::Call 'advapi32::ControlService(p r2, i r8, p r3) i.r0'
        System::Free $3
      ${EndIf}
      System::Call 'advapi32::CloseServiceHandle(p r2)'
    ${EndIf}
    System::Call 'advapi32::CloseServiceHandle(p r1)'
  ${EndIf}
FunctionEnd

; Stops Service when it runs and waits until it has stopped and its process
; has ended, so that its files can be replaced or deleted.
Function ${un}StopService
  Call ${un}QueryService
  ${If} $State = 0
  ${OrIf} $State = ${SERVICE_STOPPED}
    Return
  ${EndIf}
  DetailPrint "Stopping $Service..."
  StrCpy $R1 $ProcessId
  Push ${SERVICE_STOP}
  Push ${SERVICE_CONTROL_STOP}
  Call ${un}ControlService
  StrCpy $R0 0
  ${Do}
    Call ${un}QueryService
    ${If} $State = 0
    ${OrIf} $State = ${SERVICE_STOPPED}
      ${Break}
    ${EndIf}
    IntOp $R0 $R0 + 1
    ${If} $R0 > ${WAIT_STEPS}
      DetailPrint "$Service did not stop."
      Return
    ${EndIf}
    Sleep ${WAIT_STEP_MS}
  ${Loop}
  ${If} $R1 <> 0
    System::Call 'kernel32::OpenProcess(i ${SYNCHRONIZE}, i 0, i R1) p.r1'
    ${If} $1 P<> 0
      System::Call 'kernel32::WaitForSingleObject(p r1, i ${WAIT_MS})'
      System::Call 'kernel32::CloseHandle(p r1)'
    ${EndIf}
  ${EndIf}
FunctionEnd

; Takes Service away with the program's own "remove" (R2: the program's
; path) and waits until the manager has let it go.
Function ${un}RemoveService
  Call ${un}QueryService
  ${If} $State = 0
    Return
  ${EndIf}
  DetailPrint "Removing $Service..."
  nsExec::Exec '"$R2" remove'
  Pop $0
  StrCpy $R0 0
  ${Do}
    Call ${un}QueryService
    ${If} $State = 0
      ${Break}
    ${EndIf}
    IntOp $R0 $R0 + 1
    ${If} $R0 > ${WAIT_STEPS}
      DetailPrint "$Service could not be removed."
      SetErrors
      Return
    ${EndIf}
    Sleep ${WAIT_STEP_MS}
  ${Loop}
FunctionEnd

; Stops and removes both services, the port service first (it logs to the
; logging service until it ends).
Function ${un}StopAndRemoveServices
  StrCpy $Service "ZOLSVC"
  Call ${un}StopService
  StrCpy $Service "ZOLLOGSVC"
  Call ${un}StopService
  StrCpy $Service "ZOLSVC"
  StrCpy $R2 "$INSTDIR\BIN\PortBridgeServer.exe"
  Call ${un}RemoveService
  StrCpy $Service "ZOLLOGSVC"
  StrCpy $R2 "$INSTDIR\BIN\ZolLogSvc.exe"
  Call ${un}RemoveService
FunctionEnd

; Installing and removing services, the files in Program Files and the
; machine's Start menu take an administrator.
Function ${un}RequireAdministrator
  UserInfo::GetAccountType
  Pop $0
  ${If} $0 != "Admin"
    MessageBox MB_OK|MB_ICONSTOP "${PRODUCT} Setup needs administrator rights: it installs services.$\r$\nRun it as an administrator." /SD IDOK
    SetErrorLevel ${ERROR_ELEVATION_REQUIRED}
    Quit
  ${EndIf}
  SetShellVarContext all
FunctionEnd
!macroend
!insertmacro ServiceFunctions ""
!insertmacro ServiceFunctions "un."

; Starts Service and waits while it is starting; R3 is the state it reached.
Function StartService
  DetailPrint "Starting $Service..."
  Push ${SERVICE_START}
  Push 0
  Call ControlService
  StrCpy $R0 0
  ${Do}
    Call QueryService
    StrCpy $R3 $State
    ${If} $State <> ${SERVICE_START_PENDING}
      ${Break}
    ${EndIf}
    IntOp $R0 $R0 + 1
    ${If} $R0 > ${WAIT_STEPS}
      ${Break}
    ${EndIf}
    Sleep ${WAIT_STEP_MS}
  ${Loop}
  ${If} $R3 <> ${SERVICE_RUNNING}
    DetailPrint "$Service did not start (state $R3)."
  ${EndIf}
FunctionEnd

; Registers Service with the program's own "install" (R2: its path). A
; removed service of that name stays, marked for deletion, while another
; program (a services console) holds it open, and the manager takes no new
; one until it has gone: it is awaited, and asked again, for up to half a
; minute. The program says nothing in its exit code: what counts is that the
; service is there afterwards.
Function InstallService
  DetailPrint "Installing $Service..."
  StrCpy $R5 "The old $Service is still marked for deletion: close the programs that hold it open (such as Services) and run Setup again."
  StrCpy $R0 0
  ${Do}
    Call QueryService
    ${If} $State = 0
      nsExec::ExecToStack '"$R2" install'
      Pop $R4  ; its exit code, which tells nothing
      Pop $R5  ; what it printed
      Call QueryService
      ${If} $State <> 0
        Return
      ${EndIf}
    ${EndIf}
    IntOp $R0 $R0 + 1
    ${If} $R0 >= ${INSTALL_TRIES}
      ${Break}
    ${EndIf}
    DetailPrint "$Service is not installed yet, asking again."
    Sleep ${INSTALL_RETRY_MS}
  ${Loop}
  MessageBox MB_OK|MB_ICONSTOP "$Service could not be installed.$\r$\n$R5" /SD IDOK
  SetErrorLevel 2
  Abort
FunctionEnd

Function .onInit
  Call RequireAdministrator
FunctionEnd

Section "ZOL"
  ; An upgrade: the old programs must not run while their files are replaced,
  ; and the services are registered again from the new ones.
  Call StopAndRemoveServices
  ClearErrors

  SetOutPath "$INSTDIR\BIN"
  File "${BIN_DIR}/PortBridgeServer.exe"
  File "${BIN_DIR}/MsrHidBridge.dll"
  File "${BIN_DIR}/LdHidBridge.dll"
  File "${BIN_DIR}/ZolLogSvc.exe"
  File "${BIN_DIR}/ZolConfig.exe"
  ; The administrator's settings survive an upgrade.
  ${IfNot} ${FileExists} "$INSTDIR\BIN\ZolConfig.xml"
    File "${SOURCE_DIR}/packaging/windows/ZolConfig.xml"
  ${EndIf}
  CreateDirectory "$INSTDIR\LOG"

  WriteUninstaller "$INSTDIR\Uninstall.exe"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "DisplayName" "${PRODUCT}"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "DisplayVersion" "${VERSION}"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "Publisher" "${PUBLISHER}"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "InstallLocation" "$INSTDIR"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "DisplayIcon" "$INSTDIR\BIN\ZolConfig.exe"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "UninstallString" '"$INSTDIR\Uninstall.exe"'
  WriteRegStr HKLM "${UNINSTALL_KEY}" "QuietUninstallString" '"$INSTDIR\Uninstall.exe" /S'
  WriteRegDWORD HKLM "${UNINSTALL_KEY}" "NoModify" 1
  WriteRegDWORD HKLM "${UNINSTALL_KEY}" "NoRepair" 1
  ${GetSize} "$INSTDIR\BIN" "/S=0K" $0 $1 $2
  WriteRegDWORD HKLM "${UNINSTALL_KEY}" "EstimatedSize" $0

  CreateDirectory "$SMPROGRAMS\${PRODUCT}"
  CreateShortcut "$SMPROGRAMS\${PRODUCT}\${START_MENU_LINK}" "$INSTDIR\BIN\ZolConfig.exe"

  StrCpy $Service "ZOLLOGSVC"
  StrCpy $R2 "$INSTDIR\BIN\ZolLogSvc.exe"
  Call InstallService
  StrCpy $Service "ZOLSVC"
  StrCpy $R2 "$INSTDIR\BIN\PortBridgeServer.exe"
  Call InstallService
  ; The order of the configuration tool's restart: the port service's first
  ; lines find the logging service listening.
  StrCpy $Service "ZOLLOGSVC"
  Call StartService
  StrCpy $Service "ZOLSVC"
  Call StartService
SectionEnd

Function un.onInit
  Call un.RequireAdministrator
FunctionEnd

Section "Uninstall"
  Call un.StopAndRemoveServices
  ${If} ${Errors}
    MessageBox MB_OK|MB_ICONSTOP "The services could not be removed; the files stay." /SD IDOK
    SetErrorLevel 2
    Abort
  ${EndIf}

  Delete "$INSTDIR\BIN\PortBridgeServer.exe"
  Delete "$INSTDIR\BIN\MsrHidBridge.dll"
  Delete "$INSTDIR\BIN\LdHidBridge.dll"
  Delete "$INSTDIR\BIN\ZolLogSvc.exe"
  Delete "$INSTDIR\BIN\ZolConfig.exe"
  Delete "$INSTDIR\BIN\ZolConfig.xml"
  ; The configuration tool's copy of a document it could not read.
  Delete "$INSTDIR\BIN\ZolConfig.xml.bad"
  RMDir "$INSTDIR\BIN"

  ${GetParameters} $0
  ClearErrors
  ${GetOptions} $0 "/REMOVELOG" $1
  ${IfNot} ${Errors}
    RMDir /r "$INSTDIR\LOG"
  ${ElseIf} ${FileExists} "$INSTDIR\LOG\*.*"
    MessageBox MB_YESNO|MB_ICONQUESTION "Remove the log files in $INSTDIR\LOG too?" /SD IDNO IDNO keepLog
    RMDir /r "$INSTDIR\LOG"
    keepLog:
  ${EndIf}

  Delete "$SMPROGRAMS\${PRODUCT}\${START_MENU_LINK}"
  RMDir "$SMPROGRAMS\${PRODUCT}"
  DeleteRegKey HKLM "${UNINSTALL_KEY}"
  Delete "$INSTDIR\Uninstall.exe"
  RMDir "$INSTDIR"
  RMDir "$INSTDIR\.."
SectionEnd
