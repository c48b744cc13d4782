; Velomix setup: one installer for 32- and 64-bit Windows.
;
; Built by scripts/windows-installer.sh after both architectures:
;   makensis -DMODULE32=... -DMODULE64=... -DCTL32=... -DKIT=... -DDOCS=... -DOUTDIR=... velomix.nsi
; The version is read from the 32-bit module's version resource, so the installer's name and its
; installed-programs entry always match the module they carry.
;
; 32-bit Windows: the 32-bit module, velomixctl and the kit under the 32-bit program files
; folder, registered with the system's regsvr32. 64-bit Windows: the same, registered with the
; 32-bit regsvr32 (SysWOW64), and the 64-bit module under the 64-bit program files folder,
; registered with the 64-bit regsvr32. The settings file (VELO.INI) lives in the user's profile
; and is never touched: the uninstaller removes only the folders the module made for it
; (Korvane\Player under LocalAppDataLow), and only while they are empty.

Unicode true
SetCompressor /SOLID lzma
RequestExecutionLevel admin
ManifestSupportedOS all

!include "LogicLib.nsh"
!include "x64.nsh"
!include "FileFunc.nsh"

!getdllversion "${MODULE32}" VMX_VER_
!define VERSION "${VMX_VER_1}.${VMX_VER_2}.${VMX_VER_3}.${VMX_VER_4}"
!define PRODUCT "Velomix"
!define PUBLISHER "Velomix"
!define UNINSTALL_KEY "Software\Microsoft\Windows\CurrentVersion\Uninstall\Velomix"
; The module's installation record, which its registration writes (machine and user, in the
; registering process's view) and its unregistration leaves.
!define CLASS_KEY "Software\Classes\CLSID\{43FF79DC-A363-4DA5-AD5C-2137A9343451}"
!define PAGE_KEY "Software\Classes\CLSID\{EAD9CA8A-BD46-4ECF-89D5-EF7DD2D08C1E}"
!define INSTANCE_KEY "Software\Classes\CLSID\{083863F1-70DE-11D0-BD40-00A0C911CE86}\Instance\{43FF79DC-A363-4DA5-AD5C-2137A9343451}"
!define RECORD_KEY "Software\Classes\CLSID\{8294CF21-9550-45fb-9CF4-E96E375D2964}"
; FOLDERID_LocalAppDataLow, under which a filter makes the settings file's folder.
!define FOLDERID_LOCALAPPDATALOW "{A520A1A4-1780-4FF6-BD18-167343C5AF16}"

Name "${PRODUCT} ${VERSION}"
OutFile "${OUTDIR}\Velomix-${VERSION}-setup.exe"
InstallDir "$PROGRAMFILES32\Velomix"
ShowInstDetails show
ShowUninstDetails show
VIProductVersion "${VERSION}"
VIAddVersionKey "ProductName" "${PRODUCT}"
VIAddVersionKey "CompanyName" "${PUBLISHER}"
VIAddVersionKey "FileDescription" "${PRODUCT} setup"
VIAddVersionKey "FileVersion" "${VERSION}"
VIAddVersionKey "ProductVersion" "${VERSION}"
VIAddVersionKey "LegalCopyright" "Copyright (C) Velomix"

Page instfiles
UninstPage instfiles

Var Dir64        ; the 64-bit folder, empty on 32-bit Windows
Var Deferred     ; 1 when a file in use is replaced at the next restart

; Puts SOURCE at DEST. A module that a running program holds cannot be overwritten: it is moved
; aside (Windows lets a loaded module be renamed) and removed at the next restart; where even
; that fails, the new copy waits beside it and replaces it at the next restart.
!macro VmxPlaceFile SOURCE DEST
  Delete "${DEST}.old"
  ClearErrors
  ${If} ${FileExists} "${DEST}"
    Delete "${DEST}"
  ${EndIf}
  ${If} ${Errors}
    ClearErrors
    Rename "${DEST}" "${DEST}.old"
    ${If} ${Errors}
      File "/oname=${DEST}.new" "${SOURCE}"
      Rename /REBOOTOK "${DEST}.new" "${DEST}"
      ${If} ${FileExists} "${DEST}.new"
        StrCpy $Deferred 1
      ${EndIf}
    ${Else}
      Delete /REBOOTOK "${DEST}.old"
      File "/oname=${DEST}" "${SOURCE}"
    ${EndIf}
  ${Else}
    File "/oname=${DEST}" "${SOURCE}"
  ${EndIf}
!macroend

; Runs regsvr32 (ARGS) on MODULE; the exit code lands in $0 ("error" when it did not start).
!macro VmxRegsvr32 ARGS MODULE
  ExecWait '"$SYSDIR\regsvr32.exe" ${ARGS} "${MODULE}"' $0
!macroend

; The 64-bit regsvr32: with file-system redirection off, $SYSDIR names the real System32.
!macro VmxRegsvr32x64 ARGS MODULE
  ${DisableX64FSRedirection}
  ExecWait '"$SYSDIR\regsvr32.exe" ${ARGS} "${MODULE}"' $0
  ${EnableX64FSRedirection}
!macroend

Function .onInit
  StrCpy $Dir64 ""
  ${If} ${RunningX64}
    StrCpy $Dir64 "$PROGRAMFILES64\Velomix"
  ${EndIf}
  StrCpy $Deferred 0
FunctionEnd

Section "Velomix"
  SetOutPath "$INSTDIR"
  !insertmacro VmxPlaceFile "${MODULE32}" "$INSTDIR\Velomix.ax"
  !insertmacro VmxPlaceFile "${CTL32}" "$INSTDIR\velomixctl.exe"
  SetOutPath "$INSTDIR\sdk\include"
  File "${KIT}\include\velomix.h"
  File "${KIT}\include\velomix_ids.h"
  File "${KIT}\include\velomix_speed.h"
  SetOutPath "$INSTDIR\sdk\example"
  File "${KIT}\example\velomix_example.cpp"
  SetOutPath "$INSTDIR\sdk"
  File "${DOCS}\control-channel.md"
  ${If} $Dir64 != ""
    SetOutPath "$Dir64"
    !insertmacro VmxPlaceFile "${MODULE64}" "$Dir64\Velomix.ax"
  ${EndIf}
  SetOutPath "$INSTDIR"
  WriteUninstaller "$INSTDIR\uninstall.exe"

  ; Registration last, once every file is in place: a failure undoes both registrations and
  ; the files, so that no host finds a class whose module is missing.
  !insertmacro VmxRegsvr32 "/s" "$INSTDIR\Velomix.ax"
  ${If} $0 != 0
    StrCpy $1 "The 32-bit Velomix filter could not be registered (regsvr32 exit code $0)."
    Goto failed
  ${EndIf}
  ${If} $Dir64 != ""
    !insertmacro VmxRegsvr32x64 "/s" "$Dir64\Velomix.ax"
    ${If} $0 != 0
      StrCpy $1 "The 64-bit Velomix filter could not be registered (regsvr32 exit code $0)."
      Goto failed
    ${EndIf}
  ${EndIf}

  ; The installed-programs entry, in the system's own registry view; one fixed key, so an
  ; upgrade rewrites it.
  ${If} $Dir64 != ""
    SetRegView 64
  ${EndIf}
  WriteRegStr HKLM "${UNINSTALL_KEY}" "DisplayName" "${PRODUCT}"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "DisplayVersion" "${VERSION}"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "Publisher" "${PUBLISHER}"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "InstallLocation" "$INSTDIR"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "DisplayIcon" "$INSTDIR\uninstall.exe"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "UninstallString" '"$INSTDIR\uninstall.exe"'
  WriteRegStr HKLM "${UNINSTALL_KEY}" "QuietUninstallString" '"$INSTDIR\uninstall.exe" /S'
  WriteRegDWORD HKLM "${UNINSTALL_KEY}" "NoModify" 1
  WriteRegDWORD HKLM "${UNINSTALL_KEY}" "NoRepair" 1
  ${GetSize} "$INSTDIR" "/S=0K" $2 $3 $4
  ${If} $Dir64 != ""
    ${GetSize} "$Dir64" "/S=0K" $3 $4 $5
    IntOp $2 $2 + $3
  ${EndIf}
  WriteRegDWORD HKLM "${UNINSTALL_KEY}" "EstimatedSize" $2
  SetRegView lastused

  ${If} $Deferred == 1
  ${OrIf} ${RebootFlag}
    MessageBox MB_OK|MB_ICONINFORMATION "Velomix is in use by a running program. The new version takes effect after Windows restarts." /SD IDOK
    DetailPrint "Velomix is in use: the new version takes effect after Windows restarts."
  ${EndIf}
  Return

failed:
  DetailPrint "$1"
  ${If} $Dir64 != ""
    !insertmacro VmxRegsvr32x64 "/u /s" "$Dir64\Velomix.ax"
  ${EndIf}
  !insertmacro VmxRegsvr32 "/u /s" "$INSTDIR\Velomix.ax"
  Call ForgetRecords
  SetOutPath "$TEMP"
  Call RemoveFiles
  MessageBox MB_OK|MB_ICONSTOP "$1$\r$\nNothing was installed." /SD IDOK
  SetErrorLevel 2
  Quit
SectionEnd

; Removes what the installer put down, folders only when empty (anything of the user's stays).
!macro VmxRemoveFiles UN
; The installation record in the current registry view and ROOT, when it names one of our
; modules: a record of another copy (a player's own) is not ours to remove.
Function ${UN}ForgetRecordIn
  Exch $R0
  ${If} $R0 == "HKCU"
    ReadRegStr $R1 HKCU "${RECORD_KEY}\InstalledVersion" "Path"
  ${Else}
    ReadRegStr $R1 HKLM "${RECORD_KEY}\InstalledVersion" "Path"
  ${EndIf}
  ${If} $R1 == "$INSTDIR\Velomix.ax"
  ${OrIf} $R1 == "$Dir64\Velomix.ax"
    ${If} $R0 == "HKCU"
      DeleteRegKey HKCU "${RECORD_KEY}"
    ${Else}
      DeleteRegKey HKLM "${RECORD_KEY}"
    ${EndIf}
  ${EndIf}
  Pop $R0
FunctionEnd

; What a registration that failed half-way (or an unregistration that failed) leaves in the
; current view: the classes whose server is the module given on the stack, and the filter's
; category entry once no copy of the class remains.
Function ${UN}ForgetClassesIn
  Exch $R0
  ReadRegStr $R1 HKLM "${CLASS_KEY}\InprocServer32" ""
  ${If} $R1 == $R0
    DeleteRegKey HKLM "${CLASS_KEY}"
  ${EndIf}
  ReadRegStr $R1 HKLM "${PAGE_KEY}\InprocServer32" ""
  ${If} $R1 == $R0
    DeleteRegKey HKLM "${PAGE_KEY}"
  ${EndIf}
  ClearErrors
  ReadRegStr $R1 HKLM "${CLASS_KEY}" ""
  ${If} ${Errors}
    DeleteRegKey HKLM "${INSTANCE_KEY}"
  ${EndIf}
  Pop $R0
FunctionEnd

Function ${UN}ForgetRecords
  ${If} $Dir64 != ""
    SetRegView 32
  ${EndIf}
  Push "$INSTDIR\Velomix.ax"
  Call ${UN}ForgetClassesIn
  ${If} $Dir64 != ""
    SetRegView 64
    Push "$Dir64\Velomix.ax"
    Call ${UN}ForgetClassesIn
    SetRegView 32
  ${EndIf}
  Push HKLM
  Call ${UN}ForgetRecordIn
  Push HKCU
  Call ${UN}ForgetRecordIn
  ${If} $Dir64 != ""
    SetRegView 64
    Push HKLM
    Call ${UN}ForgetRecordIn
    Push HKCU
    Call ${UN}ForgetRecordIn
    SetRegView 32
  ${EndIf}
  ; The user's class keys, made for the record where there were none: gone with it unless
  ; something else is in them (Windows keeps its own Software\Classes in any case).
  DeleteRegKey /ifempty /ifnovalues HKCU "Software\Classes\CLSID"
  ${If} $Dir64 != ""
    SetRegView 64
    DeleteRegKey /ifempty /ifnovalues HKCU "Software\Classes\CLSID"
    DeleteRegKey /ifempty /ifnovalues HKCU "Software\Classes"
    SetRegView 32
  ${EndIf}
  DeleteRegKey /ifempty /ifnovalues HKCU "Software\Classes"
FunctionEnd

Function ${UN}RemoveFiles
  Delete /REBOOTOK "$INSTDIR\Velomix.ax"
  Delete /REBOOTOK "$INSTDIR\Velomix.ax.old"
  Delete "$INSTDIR\velomixctl.exe"
  Delete "$INSTDIR\velomixctl.exe.old"
  Delete "$INSTDIR\sdk\include\velomix.h"
  Delete "$INSTDIR\sdk\include\velomix_ids.h"
  Delete "$INSTDIR\sdk\include\velomix_speed.h"
  Delete "$INSTDIR\sdk\example\velomix_example.cpp"
  Delete "$INSTDIR\sdk\control-channel.md"
  RMDir "$INSTDIR\sdk\include"
  RMDir "$INSTDIR\sdk\example"
  RMDir "$INSTDIR\sdk"
  Delete "$INSTDIR\uninstall.exe"
  RMDir /REBOOTOK "$INSTDIR"
  ${If} $Dir64 != ""
    Delete /REBOOTOK "$Dir64\Velomix.ax"
    Delete /REBOOTOK "$Dir64\Velomix.ax.old"
    RMDir /REBOOTOK "$Dir64"
  ${EndIf}
FunctionEnd
!macroend
!insertmacro VmxRemoveFiles ""
!insertmacro VmxRemoveFiles "un."

Function un.onInit
  StrCpy $Dir64 ""
  ${If} ${RunningX64}
    StrCpy $Dir64 "$PROGRAMFILES64\Velomix"
  ${EndIf}
FunctionEnd

; The settings file's folders, which a filter makes when it is created (on NT 6.0 and later),
; while they are empty: a settings file keeps them. Those of the user running the uninstaller.
Function un.ForgetSettingsFolder
  System::Call 'shell32::SHGetKnownFolderPath(g "${FOLDERID_LOCALAPPDATALOW}", i 0, p 0, *p .r1) i .r0'
  ${If} $0 == 0
    System::Call '*$1(&w${NSIS_MAX_STRLEN} .r2)'
    System::Call 'ole32::CoTaskMemFree(p r1)'
    RMDir "$2\Korvane\Player"
    RMDir "$2\Korvane"
  ${EndIf}
FunctionEnd

Section "Uninstall"
  ; Each module with its own regsvr32; a module already gone is nothing to undo.
  ${If} $Dir64 != ""
  ${AndIf} ${FileExists} "$Dir64\Velomix.ax"
    !insertmacro VmxRegsvr32x64 "/u /s" "$Dir64\Velomix.ax"
    ${If} $0 != 0
      DetailPrint "The 64-bit filter could not be unregistered (regsvr32 exit code $0)."
    ${EndIf}
  ${EndIf}
  ${If} ${FileExists} "$INSTDIR\Velomix.ax"
    !insertmacro VmxRegsvr32 "/u /s" "$INSTDIR\Velomix.ax"
    ${If} $0 != 0
      DetailPrint "The 32-bit filter could not be unregistered (regsvr32 exit code $0)."
    ${EndIf}
  ${EndIf}
  Call un.ForgetRecords
  Call un.RemoveFiles
  Call un.ForgetSettingsFolder
  ${If} $Dir64 != ""
    SetRegView 64
  ${EndIf}
  DeleteRegKey HKLM "${UNINSTALL_KEY}"
  SetRegView lastused
  ${If} ${RebootFlag}
    MessageBox MB_OK|MB_ICONINFORMATION "Velomix is still in use: its last files are removed when Windows restarts." /SD IDOK
  ${EndIf}
SectionEnd
