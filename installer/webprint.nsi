; Setup program for the Tarnwick Web Printing client (webprint.exe).
;
; Built on Linux by installer/build-packages.sh:
;   makensis -DVERSION=1.0.0 -DCLIENT_EXE=/path/webprint.exe -DMSI_ACTIONS_DLL=/path/webprint-msi-actions.dll
;            -DOUTFILE=/path/setup.exe webprint.nsi
; (the file CLIENT_EXE names must be called webprint.exe)
;
; Installs for the whole machine, starts the client at every logon through the
; machine's Run key, and registers an uninstaller. A silent installation
; (/S) takes the client's settings from /SERVER=, /PORT=, /POLL=, /COMPUTER=,
; /TLS=, /BLOCKSINFLIGHT=, /PROXY=, /LONGPOLL= and /CIPHER=; every parameter is checked before
; anything is installed. A running client is closed first and started again
; afterwards. /SERVICE=1 installs the client as the service "webprint"
; instead of the Run entry, /SERVICE=0 as a tray program again; without it
; an installation keeps the mode it finds. The service is installed only
; below Program Files, where users cannot change the program it runs.

!ifndef VERSION | CLIENT_EXE | MSI_ACTIONS_DLL | OUTFILE
  !error "define VERSION, CLIENT_EXE, MSI_ACTIONS_DLL and OUTFILE"
!endif

; ANSI, like the client: name lengths are counted in bytes of the system's
; code page, which is what the client's 63-character fields hold.
Unicode false
SetCompressor /SOLID lzma
RequestExecutionLevel admin

!define PRODUCT "Tarnwick Web Printing"
!define MAKER "Morvelund"
!define SETTINGS_KEY "SOFTWARE\Morvelund\Tarnwick Web Printing"
!define RUN_KEY "Software\Microsoft\Windows\CurrentVersion\Run"
!define EVENT_SOURCE_KEY "SYSTEM\CurrentControlSet\Services\EventLog\Application\webprint"
!define UNINSTALL_KEY "Software\Microsoft\Windows\CurrentVersion\Uninstall\${PRODUCT}"
; The MSI package's upgrade code: its installed versions are related products.
!define MSI_UPGRADE_CODE "{E7A411E0-E62F-4121-9DDB-DC3709564DC3}"
; Exit code of a run stopped by a bad parameter (ERROR_INVALID_PARAMETER).
!define EXIT_BAD_PARAMETER 87
; Exit code of a run that could not write the program or its registry values
; (as when the script aborts), or could not set up and start the service.
!define EXIT_NOT_WRITTEN 2
; Exit code of a run refused because a newer version, or the MSI package, is
; installed (ERROR_PRODUCT_VERSION).
!define EXIT_OTHER_VERSION 1638
; Exit code of a run that finishes at the next restart (ERROR_SUCCESS_REBOOT_REQUIRED).
!define EXIT_REBOOT_REQUIRED 3010
; Exit codes of "webprint.exe /quit".
!define QUIT_CLIENT_ENDED 1
!define MOVEFILE_DELAY_UNTIL_REBOOT 4

Name "${PRODUCT}"
BrandingText "${PRODUCT} ${VERSION}"
OutFile "${OUTFILE}"
; 32-bit Program Files: the client is a 32-bit program.
InstallDir "$PROGRAMFILES\${PRODUCT}"
InstallDirRegKey HKLM "${UNINSTALL_KEY}" "InstallLocation"

VIProductVersion "${VERSION}.0"
VIAddVersionKey ProductName "${PRODUCT}"
VIAddVersionKey CompanyName "${MAKER}"
VIAddVersionKey FileDescription "${PRODUCT} Setup"
VIAddVersionKey FileVersion "${VERSION}"
VIAddVersionKey ProductVersion "${VERSION}"
VIAddVersionKey LegalCopyright "Copyright ${MAKER}"

!include MUI2.nsh
!include LogicLib.nsh
!include FileFunc.nsh
!include WordFunc.nsh

!define MUI_FINISHPAGE_RUN "$INSTDIR\webprint.exe"
!define MUI_FINISHPAGE_RUN_TEXT "Start the ${PRODUCT} Client now"
!define MUI_UNCONFIRMPAGE_TEXT_TOP "The ${PRODUCT} Client will be closed and removed from this computer. \
Its settings (server, port, poll frequency, computer name and printer choices) stay in the registry, \
so a later installation uses them again."

!insertmacro MUI_PAGE_DIRECTORY
!insertmacro MUI_PAGE_INSTFILES
!insertmacro MUI_PAGE_FINISH
!insertmacro MUI_UNPAGE_CONFIRM
!insertmacro MUI_UNPAGE_INSTFILES
!insertmacro MUI_LANGUAGE "English"

; Settings from the command line; empty when not given.
Var Server
Var Port
Var Poll
Var Computer
Var Tls
Var BlocksInFlight
Var Proxy
Var LongPoll
Var Service
Var Cipher
Var AllowDowngrade
; 1 when a client was closed for the installation, to be started again.
Var ClientWasRunning

; ---------------------------------------------------------------------------
; Failures and parameter checks
; ---------------------------------------------------------------------------

; Reports a failure and ends the run with an exit code. Silent runs cannot
; show a box, so the text also goes to standard error and to
; %TEMP%\webprint-setup.log.
; Stack in: message, exit code (exit code on top).
Function Fail
  Exch $1
  Exch
  Exch $0
  System::Call 'kernel32::GetStdHandle(i -12) p .r2'
  ${If} $2 P<> 0
  ${AndIf} $2 P<> -1
    FileWrite $2 "webprint-setup: $0$\r$\n"
  ${EndIf}
  FileOpen $2 "$TEMP\webprint-setup.log" a
  ${IfNot} ${Errors}
    FileSeek $2 0 END
    FileWrite $2 "webprint-setup ${VERSION}: $0$\r$\n"
    FileClose $2
  ${EndIf}
  MessageBox MB_OK|MB_ICONSTOP "$0" /SD IDOK
  SetErrorLevel $1
  Quit
FunctionEnd

; A bad parameter stops the run before anything is installed.
!macro FailParameter MESSAGE
  Push "${MESSAGE}"
  Push ${EXIT_BAD_PARAMETER}
  Call Fail
!macroend

; A number given with leading zeros loses them: NSIS reads a number that
; starts with 0 as octal.
!macro DropLeadingZeros VALUE
  ${Do}
    StrCpy $0 ${VALUE} 1
    StrLen $1 ${VALUE}
    ${If} $0 != "0"
    ${OrIf} $1 <= 1
      ${ExitDo}
    ${EndIf}
    StrCpy ${VALUE} ${VALUE} "" 1
  ${Loop}
!macroend

; Splits the command line into /NAME=VALUE parameters (a double quote anywhere
; in a parameter starts or ends a quoted part, as in "/COMPUTER=Front Desk")
; and keeps the four settings. /S and /NCRC are the setup program's own;
; anything else is refused, so a mistyped name cannot go unnoticed.
Function ReadParameters
  ${GetParameters} $R0
  StrCpy $R1 0 ; position in the command line
  ${Do}
    ; Skip blanks, then collect one parameter.
    ${Do}
      StrCpy $R2 $R0 1 $R1
      ${IfThen} $R2 != " " ${|} ${ExitDo} ${|}
      IntOp $R1 $R1 + 1
    ${Loop}
    ${IfThen} $R2 == "" ${|} ${ExitDo} ${|}
    StrCpy $R3 "" ; the parameter without its quotes
    StrCpy $R4 0  ; inside quotes
    ${Do}
      StrCpy $R2 $R0 1 $R1
      ${IfThen} $R2 == "" ${|} ${ExitDo} ${|}
      ${If} $R2 == '"'
        IntOp $R4 $R4 ^ 1
      ${ElseIf} $R2 == " "
      ${AndIf} $R4 = 0
        ${ExitDo}
      ${Else}
        StrCpy $R3 "$R3$R2"
      ${EndIf}
      IntOp $R1 $R1 + 1
    ${Loop}

    ${If} $R3 S== "/S"
    ${OrIf} $R3 S== "/NCRC"
      ${Continue}
    ${EndIf}
    ${If} $R3 == "/ALLOWDOWNGRADE"
      StrCpy $AllowDowngrade 1
      ${Continue}
    ${EndIf}
    ; The parameter's first 5, 6, 7, 8, 9, 10 and 16 characters.
    StrCpy $R5 $R3 5
    StrCpy $R6 $R3 6
    StrCpy $R4 $R3 7
    StrCpy $R9 $R3 8
    StrCpy $0 $R3 9
    StrCpy $R7 $R3 10
    StrCpy $1 $R3 16
    ${If} $R9 == "/SERVER="
      StrCpy $Server $R3 "" 8
      StrCpy $R8 $Server
    ${ElseIf} $R6 == "/PORT="
      StrCpy $Port $R3 "" 6
      StrCpy $R8 $Port
    ${ElseIf} $R6 == "/POLL="
      StrCpy $Poll $R3 "" 6
      StrCpy $R8 $Poll
    ${ElseIf} $R7 == "/COMPUTER="
      StrCpy $Computer $R3 "" 10
      StrCpy $R8 $Computer
    ${ElseIf} $R7 == "/LONGPOLL="
      StrCpy $LongPoll $R3 "" 10
      StrCpy $R8 $LongPoll
    ${ElseIf} $R5 == "/TLS="
      StrCpy $Tls $R3 "" 5
      StrCpy $R8 $Tls
    ${ElseIf} $1 == "/BLOCKSINFLIGHT="
      StrCpy $BlocksInFlight $R3 "" 16
      StrCpy $R8 $BlocksInFlight
    ${ElseIf} $R4 == "/PROXY="
      StrCpy $Proxy $R3 "" 7
      StrCpy $R8 $Proxy
    ${ElseIf} $0 == "/SERVICE="
      StrCpy $Service $R3 "" 9
      StrCpy $R8 $Service
    ${ElseIf} $R9 == "/CIPHER="
      StrCpy $Cipher $R3 "" 8
      StrCpy $R8 $Cipher
    ${Else}
      !insertmacro FailParameter "Unknown parameter $R3. Known: /S /SERVER= /PORT= /POLL= /COMPUTER= /TLS= /BLOCKSINFLIGHT= /PROXY= /LONGPOLL= /SERVICE= /CIPHER= /ALLOWDOWNGRADE /D=."
    ${EndIf}
    ${If} $R8 == ""
      !insertmacro FailParameter "$R3 needs a value."
    ${EndIf}
  ${Loop}
FunctionEnd

; The MSI package's rules, from its custom actions' library.
Function CheckParameters
  InitPluginsDir
  File "/oname=$PLUGINSDIR\webprint-msi-actions.dll" "${MSI_ACTIONS_DLL}"
  ; Passed in registers: System::Call would parse a value's own commas and
  ; brackets. Every call into the library unloads it again (?u), so that the
  ; plug-ins folder goes when the run ends, not at the next restart.
  StrCpy $2 $Server
  StrCpy $3 $Port
  StrCpy $4 $Poll
  StrCpy $5 $Computer
  StrCpy $6 $Tls
  StrCpy $7 $BlocksInFlight
  StrCpy $8 $Proxy
  StrCpy $9 $Service
  StrCpy $R0 $LongPoll
  StrCpy $R1 $Cipher
  System::Call '$PLUGINSDIR\webprint-msi-actions.dll::CheckSetupParameters(t r2, t r3, t r4, t r5, t r6, t r7, t r8, t r9, t r10, t r11, t .r0, i ${NSIS_MAX_STRLEN}) i .r1 ?u'
  ${If} $1 != 0
    !insertmacro FailParameter "$0"
  ${EndIf}
  !insertmacro DropLeadingZeros $Port
  !insertmacro DropLeadingZeros $Poll
  !insertmacro DropLeadingZeros $BlocksInFlight
  !insertmacro DropLeadingZeros $LongPoll
  ; Without /SERVICE= the computer keeps its mode.
  ${If} $Service == ""
    System::Call '$PLUGINSDIR\webprint-msi-actions.dll::SetupServiceInstalled() i .r1 ?u'
    StrCpy $Service $1
  ${EndIf}
FunctionEnd

; ---------------------------------------------------------------------------
; Refusing an installation over another one
; ---------------------------------------------------------------------------

; A newer version stays unless /ALLOWDOWNGRADE is given; the MSI package's
; copy stays: two packages would register the program twice.
Function CheckInstalledVersions
  System::Call 'msi::MsiEnumRelatedProductsA(t "${MSI_UPGRADE_CODE}", i 0, i 0, t .r1) i .r0'
  ${If} $0 = 0
    Push "The ${PRODUCT} Client is installed from its MSI package. Remove it in Programs and Features first, or install with the MSI package."
    Push ${EXIT_OTHER_VERSION}
    Call Fail
  ${EndIf}
  ReadRegStr $0 HKLM "${UNINSTALL_KEY}" "DisplayVersion"
  ${If} $0 != ""
  ${AndIf} $AllowDowngrade != 1
    ${VersionCompare} $0 "${VERSION}" $1
    ${If} $1 = 1
      Push "Version $0 of the ${PRODUCT} Client is installed, newer than ${VERSION}. Give /ALLOWDOWNGRADE to install the older version."
      Push ${EXIT_OTHER_VERSION}
      Call Fail
    ${EndIf}
  ${EndIf}
FunctionEnd

; ---------------------------------------------------------------------------
; Installation
; ---------------------------------------------------------------------------

Function .onInit
  SetShellVarContext all
  Call ReadParameters
  Call CheckParameters
  Call CheckInstalledVersions
FunctionEnd

; A file moved aside or left for the next restart: say so in the exit code.
Function .onInstSuccess
  ${If} ${RebootFlag}
    SetErrorLevel ${EXIT_REBOOT_REQUIRED}
  ${EndIf}
FunctionEnd

; Writes a setting only when it was given, so the client's own defaults apply
; to the others.
!macro WriteSettingText NAME VALUE
  ${If} ${VALUE} != ""
    WriteRegStr HKLM "${SETTINGS_KEY}" "${NAME}" ${VALUE}
  ${EndIf}
!macroend
!macro WriteSettingNumber NAME VALUE
  ${If} ${VALUE} != ""
    WriteRegDWORD HKLM "${SETTINGS_KEY}" "${NAME}" ${VALUE}
  ${EndIf}
!macroend

Section "Client"
  ; Checked here, where the folder is final (the directory page may change
  ; it), and before anything changes.
  ${If} $Service = 1
    StrCpy $2 "$INSTDIR"
    System::Call '$PLUGINSDIR\webprint-msi-actions.dll::SetupServiceFolder(t r2, t .r0, i ${NSIS_MAX_STRLEN}) i .r1 ?u'
    ${If} $1 != 0
      !insertmacro FailParameter "$0"
    ${EndIf}
  ${EndIf}
  ; The new program asks the running client of this session to exit and
  ; waits for it (the installed one may be too old to know how).
  InitPluginsDir
  SetOutPath "$PLUGINSDIR"
  File "${CLIENT_EXE}"
  DetailPrint "Closing a running ${PRODUCT} Client"
  ExecWait '"$PLUGINSDIR\webprint.exe" /quit' $0
  ${If} $0 = ${QUIT_CLIENT_ENDED}
    StrCpy $ClientWasRunning 1
  ${EndIf}
  ; The service holds the file too; it starts again below.
  System::Call '$PLUGINSDIR\webprint-msi-actions.dll::SetupServiceStop() i .r0 ?u'
  SetOutPath "$INSTDIR"
  ; A client that could not be closed (in another user's session, or still
  ; busy with a poll) keeps its file open. Windows lets a running program's
  ; file be renamed, so it moves aside, to be deleted at the next restart
  ; (exit code 3010); the new file takes its place and starts at the next
  ; logon.
  ${If} ${FileExists} "$INSTDIR\webprint.exe"
    ClearErrors
    Delete "$INSTDIR\webprint.exe"
    ${If} ${Errors}
      Delete "$INSTDIR\webprint.old"
      Rename "$INSTDIR\webprint.exe" "$INSTDIR\webprint.old"
      Delete /REBOOTOK "$INSTDIR\webprint.old"
    ${EndIf}
  ${EndIf}
  ; Report a file that still cannot be written instead of skipping it, which
  ; a silent run would otherwise do and still end with success.
  SetOverwrite try
  ClearErrors
  File "${CLIENT_EXE}"
  ${If} ${Errors}
    Push "Could not write $INSTDIR\webprint.exe; close the Tarnwick Web Printing Client and run the setup again."
    Push ${EXIT_NOT_WRITTEN}
    Call Fail
  ${EndIf}
  SetOverwrite on
  WriteUninstaller "$INSTDIR\uninstall.exe"

  ClearErrors
  !insertmacro WriteSettingText "Url" $Server
  !insertmacro WriteSettingNumber "Port" $Port
  !insertmacro WriteSettingNumber "PollFreq" $Poll
  !insertmacro WriteSettingText "ComputerName" $Computer
  !insertmacro WriteSettingNumber "UseTls" $Tls
  !insertmacro WriteSettingNumber "BlocksInFlight" $BlocksInFlight
  !insertmacro WriteSettingText "Proxy" $Proxy
  !insertmacro WriteSettingNumber "LongPoll" $LongPoll
  !insertmacro WriteSettingText "Cipher" $Cipher
  ; The service polls for the computer: no client at every logon then.
  ${If} $Service = 1
    WriteRegExpandStr HKLM "${EVENT_SOURCE_KEY}" "EventMessageFile" "$INSTDIR\webprint.exe"
    WriteRegDWORD HKLM "${EVENT_SOURCE_KEY}" "TypesSupported" 7
  ${Else}
    WriteRegStr HKLM "${RUN_KEY}" "${PRODUCT}" '"$INSTDIR\webprint.exe"'
  ${EndIf}
  ${If} ${Errors}
    Push "Could not write the settings or the Run entry in HKEY_LOCAL_MACHINE."
    Push ${EXIT_NOT_WRITTEN}
    Call Fail
  ${EndIf}
  ${If} $Service = 1
    DeleteRegValue HKLM "${RUN_KEY}" "${PRODUCT}"
  ${EndIf}

  CreateShortcut "$SMPROGRAMS\${PRODUCT} Client.lnk" "$INSTDIR\webprint.exe"

  WriteRegStr HKLM "${UNINSTALL_KEY}" "DisplayName" "${PRODUCT} Client"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "DisplayVersion" "${VERSION}"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "Publisher" "${MAKER}"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "InstallLocation" "$INSTDIR"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "DisplayIcon" '"$INSTDIR\webprint.exe"'
  WriteRegStr HKLM "${UNINSTALL_KEY}" "UninstallString" '"$INSTDIR\uninstall.exe"'
  ; Runs in place (_?=), so it ends only when the removal is done, with its result.
  WriteRegStr HKLM "${UNINSTALL_KEY}" "QuietUninstallString" '"$INSTDIR\uninstall.exe" /S _?=$INSTDIR'
  WriteRegDWORD HKLM "${UNINSTALL_KEY}" "NoModify" 1
  WriteRegDWORD HKLM "${UNINSTALL_KEY}" "NoRepair" 1
  ${GetSize} "$INSTDIR" "/S=0K" $0 $1 $2
  WriteRegDWORD HKLM "${UNINSTALL_KEY}" "EstimatedSize" $0

  ; Running before the setup program ends: a service manager that runs
  ; already starts nothing by itself.
  ${If} $Service = 1
    StrCpy $2 "$INSTDIR\webprint.exe"
    System::Call '$PLUGINSDIR\webprint-msi-actions.dll::SetupServiceInstall(t r2, t .r0, i ${NSIS_MAX_STRLEN}) i .r1 ?u'
    ${If} $1 != 0
      Push "$0"
      Push ${EXIT_NOT_WRITTEN}
      Call Fail
    ${EndIf}
  ${Else}
    System::Call '$PLUGINSDIR\webprint-msi-actions.dll::SetupServiceRemove(t .r0, i ${NSIS_MAX_STRLEN}) i .r1 ?u'
    ${If} $1 != 0
      Push "$0"
      Push ${EXIT_NOT_WRITTEN}
      Call Fail
    ${EndIf}
    DeleteRegKey HKLM "${EVENT_SOURCE_KEY}"
    ${If} $ClientWasRunning = 1
      Exec '"$INSTDIR\webprint.exe"'
    ${EndIf}
  ${EndIf}
SectionEnd

; ---------------------------------------------------------------------------
; Uninstallation: the settings key stays.
; ---------------------------------------------------------------------------

Function un.onInit
  SetShellVarContext all
FunctionEnd

Function un.onUninstSuccess
  ${If} ${RebootFlag}
    SetErrorLevel ${EXIT_REBOOT_REQUIRED}
  ${EndIf}
FunctionEnd

Section "Uninstall"
  ; Stopped and deleted first, so its file is free and nothing of it waits
  ; for a restart.
  InitPluginsDir
  File "/oname=$PLUGINSDIR\webprint-msi-actions.dll" "${MSI_ACTIONS_DLL}"
  System::Call '$PLUGINSDIR\webprint-msi-actions.dll::SetupServiceRemove(t .r0, i ${NSIS_MAX_STRLEN}) i .r1 ?u'
  ${If} $1 != 0
    DetailPrint "$0"
  ${EndIf}
  DeleteRegKey HKLM "${EVENT_SOURCE_KEY}"
  ${If} ${FileExists} "$INSTDIR\webprint.exe"
    DetailPrint "Closing a running ${PRODUCT} Client"
    ExecWait '"$INSTDIR\webprint.exe" /quit'
  ${EndIf}
  ; A client that could not be closed is removed at the next restart.
  Delete /REBOOTOK "$INSTDIR\webprint.exe"
  Delete /REBOOTOK "$INSTDIR\webprint.old"
  ; Run in place (the quiet uninstall command's _?=, which makes it wait for
  ; the removal), this program cannot delete its own file: it and the then
  ; empty folder go at the next restart, which nothing else needs. Otherwise
  ; it runs from a copy in the temporary folder and removes both now.
  ClearErrors
  Delete "$INSTDIR\uninstall.exe"
  ${If} ${Errors}
    System::Call 'kernel32::MoveFileExA(t "$INSTDIR\uninstall.exe", p 0, i ${MOVEFILE_DELAY_UNTIL_REBOOT})'
    System::Call 'kernel32::MoveFileExA(t "$INSTDIR", p 0, i ${MOVEFILE_DELAY_UNTIL_REBOOT})'
  ${Else}
    RMDir /REBOOTOK "$INSTDIR"
  ${EndIf}
  Delete "$SMPROGRAMS\${PRODUCT} Client.lnk"
  DeleteRegValue HKLM "${RUN_KEY}" "${PRODUCT}"
  DeleteRegKey HKLM "${UNINSTALL_KEY}"
  DetailPrint "The settings stay in HKLM\${SETTINGS_KEY}."
SectionEnd
