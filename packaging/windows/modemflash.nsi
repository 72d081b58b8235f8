; The Windows installer of modemflash, made by packaging/windows/make-kit.sh:
;   makensis -DVERSION=0.1.0 -DARCH=x64|x86 -DSTAGE=DIR -DFILES=install.nsh
;            -DUNFILES=uninstall.nsh -DOUTFILE=modemflash-0.1.0-x64-setup.exe modemflash.nsi
;
; Installs for the current user (no administrator rights) into
; %LOCALAPPDATA%\Programs\modemflash-ARCH: the DLL, modemflash.exe, the headers, both import
; libraries, the examples and the manual, and registers the uninstaller under the Uninstall
; key. modemflash.exe goes on the user's PATH only when asked (the component, or /ADDTOPATH
; on the command line). Silent: setup.exe /S [/ADDTOPATH] [/D=FOLDER]; uninstall.exe /S.
;
; The uninstaller removes exactly the files the installer put there, folders only when they
; are left empty, its registry keys and its PATH entry. The user's own data (the update
; history in %LOCALAPPDATA%\modemflash) is never touched.

Unicode true
!if "${ARCH}" == "x64"
  Target amd64-unicode
  !define BITS "64-bit"
!else
  Target x86-unicode
  !define BITS "32-bit"
!endif

!define PRODUCT "modemflash"
!define KEYNAME "modemflash-${ARCH}"
!define UNINST_KEY "Software\Microsoft\Windows\CurrentVersion\Uninstall\${KEYNAME}"
!define STATE_KEY "Software\${KEYNAME}"

!include "FileFunc.nsh"
!include "LogicLib.nsh"
!include "Sections.nsh"

Name "${PRODUCT} ${VERSION} (${BITS})"
OutFile "${OUTFILE}"
RequestExecutionLevel user
InstallDir "$LOCALAPPDATA\Programs\${KEYNAME}"
InstallDirRegKey HKCU "${STATE_KEY}" "InstallDir"
SetCompressor /SOLID lzma
ShowInstDetails show
ShowUninstDetails show

VIProductVersion "${VERSION}.0"
VIFileVersion "${VERSION}.0"
VIAddVersionKey "ProductName" "${PRODUCT}"
VIAddVersionKey "ProductVersion" "${VERSION}"
VIAddVersionKey "FileVersion" "${VERSION}"
VIAddVersionKey "FileDescription" "${PRODUCT} ${VERSION} (${BITS}) setup"
VIAddVersionKey "LegalCopyright" "${COPYRIGHT}"

!ifdef SIGN_COMMAND
  ; The uninstaller and the installer are signed as they are written (make-kit.sh, when a
  ; certificate is given).
  !uninstfinalize '${SIGN_COMMAND} "%1"' = 0
  !finalize '${SIGN_COMMAND} "%1"' = 0
!endif

Page components
Page directory
Page instfiles
UninstPage uninstConfirm
UninstPage instfiles

Section "modemflash (library, headers, import libraries, examples, modemflash.exe, manual)" SecMain
  SectionIn RO
  !include "${FILES}"
  WriteUninstaller "$INSTDIR\uninstall.exe"
  WriteRegStr HKCU "${STATE_KEY}" "InstallDir" "$INSTDIR"
  WriteRegStr HKCU "${UNINST_KEY}" "DisplayName" "${PRODUCT} ${VERSION} (${BITS})"
  WriteRegStr HKCU "${UNINST_KEY}" "DisplayVersion" "${VERSION}"
  WriteRegStr HKCU "${UNINST_KEY}" "InstallLocation" "$INSTDIR"
  WriteRegStr HKCU "${UNINST_KEY}" "UninstallString" '"$INSTDIR\uninstall.exe"'
  WriteRegStr HKCU "${UNINST_KEY}" "QuietUninstallString" '"$INSTDIR\uninstall.exe" /S'
  WriteRegStr HKCU "${UNINST_KEY}" "DisplayIcon" "$INSTDIR\bin\modemflash.exe"
  WriteRegDWORD HKCU "${UNINST_KEY}" "NoModify" 1
  WriteRegDWORD HKCU "${UNINST_KEY}" "NoRepair" 1
  ${GetSize} "$INSTDIR" "/S=0K" $0 $1 $2
  WriteRegDWORD HKCU "${UNINST_KEY}" "EstimatedSize" $0
SectionEnd

Section /o "Add modemflash.exe to my PATH" SecPath
  Call AddToPath
SectionEnd

; /ADDTOPATH selects the PATH component (for silent installs).
Function .onInit
  ${GetParameters} $R0
  ClearErrors
  ${GetOptions} $R0 "/ADDTOPATH" $R1
  ${IfNot} ${Errors}
    !insertmacro SelectSection ${SecPath}
  ${EndIf}
FunctionEnd

; The user's PATH (HKCU\Environment) is read and written whole, and this installer handles
; strings of up to ${NSIS_MAX_STRLEN} characters: a PATH that does not fit (it cannot be read,
; or would come back cut) is left alone and the user told what to add or remove.
!macro PATH_READ un
; Pushes the user's PATH ("" when there is none), or sets the error flag when it exists but
; is too long to be changed here.
Function ${un}ReadUserPath
  Push $0
  Push $1
  Push $2
  ClearErrors
  ReadRegStr $0 HKCU "Environment" "Path"
  ${If} ${Errors}
    ; Missing, or too long to read: only a look at the names tells which.
    StrCpy $0 ""
    StrCpy $1 0
    ${Do}
      ClearErrors
      EnumRegValue $2 HKCU "Environment" $1
      ${If} ${Errors}
      ${OrIf} $2 == ""
        ClearErrors
        ${ExitDo}
      ${EndIf}
      ${IfThen} $2 == "Path" ${|} ${ExitDo} ${|}
      IntOp $1 $1 + 1
    ${Loop}
    ${IfThen} $2 == "Path" ${|} SetErrors ${|}
  ${Else}
    StrLen $1 $0
    ${IfThen} $1 >= 900 ${|} SetErrors ${|}
  ${EndIf}
  Pop $2
  Pop $1
  Exch $0
FunctionEnd
!macroend
!insertmacro PATH_READ ""
!insertmacro PATH_READ "un."

Function AddToPath
  Call ReadUserPath
  Pop $0
  ${If} ${Errors}
    DetailPrint "Your PATH is too long for this installer to change safely; add $INSTDIR\bin to it yourself."
    MessageBox MB_OK|MB_ICONINFORMATION "Your PATH is too long for this installer to change safely.$\r$\nAdd $INSTDIR\bin to it yourself." /SD IDOK
    Return
  ${EndIf}
  Push $0
  Push "$INSTDIR\bin"
  Call PathWithout
  Pop $1
  ${If} $1 != $0
    DetailPrint "$INSTDIR\bin is already on your PATH"
    Return
  ${EndIf}
  ${If} $0 == ""
    StrCpy $0 "$INSTDIR\bin"
  ${Else}
    StrCpy $0 "$0;$INSTDIR\bin"
  ${EndIf}
  WriteRegExpandStr HKCU "Environment" "Path" $0
  WriteRegDWORD HKCU "${STATE_KEY}" "AddedToPath" 1
  SendMessage ${HWND_BROADCAST} ${WM_SETTINGCHANGE} 0 "STR:Environment" /TIMEOUT=5000
  DetailPrint "Added $INSTDIR\bin to your PATH"
FunctionEnd

; PathWithout: pops ENTRY, then PATH; pushes PATH without the entries equal to ENTRY (the
; comparison ignores case, as Windows does), everything else kept as it was.
!macro PATH_WITHOUT un
Function ${un}PathWithout
  Exch $1   ; the entry
  Exch
  Exch $0   ; the PATH
  Push $2
  Push $3
  Push $4
  Push $5
  Push $6
  StrCpy $2 ""  ; the result
  StrCpy $3 0   ; position in $0
  StrCpy $4 ""  ; the entry being read
  StrCpy $6 0   ; 1 once the result holds an entry
  ${Do}
    StrCpy $5 $0 1 $3
    ${If} $5 == ";"
    ${OrIf} $5 == ""
      ${If} $4 != $1
        ${If} $6 == 1
          StrCpy $2 "$2;$4"
        ${Else}
          StrCpy $2 $4
          StrCpy $6 1
        ${EndIf}
      ${EndIf}
      StrCpy $4 ""
      ${IfThen} $5 == "" ${|} ${ExitDo} ${|}
    ${Else}
      StrCpy $4 "$4$5"
    ${EndIf}
    IntOp $3 $3 + 1
  ${Loop}
  ; A PATH that held only the entry becomes empty; one that was empty stays so.
  StrCpy $1 $2
  Pop $6
  Pop $5
  Pop $4
  Pop $3
  Pop $2
  Pop $0
  Exch $1
FunctionEnd
!macroend
!insertmacro PATH_WITHOUT ""
!insertmacro PATH_WITHOUT "un."

Function un.RemoveFromPath
  Call un.ReadUserPath
  Pop $0
  ${If} ${Errors}
    DetailPrint "Your PATH is too long for this uninstaller to change safely; remove $INSTDIR\bin from it yourself."
    Return
  ${EndIf}
  ${IfThen} $0 == "" ${|} Return ${|}
  Push $0
  Push "$INSTDIR\bin"
  Call un.PathWithout
  Pop $1
  ${If} $1 == $0
    Return
  ${EndIf}
  ${If} $1 == ""
    DeleteRegValue HKCU "Environment" "Path"
  ${Else}
    WriteRegExpandStr HKCU "Environment" "Path" $1
  ${EndIf}
  SendMessage ${HWND_BROADCAST} ${WM_SETTINGCHANGE} 0 "STR:Environment" /TIMEOUT=5000
  DetailPrint "Removed $INSTDIR\bin from your PATH"
FunctionEnd

Section "Uninstall"
  !include "${UNFILES}"
  Delete "$INSTDIR\uninstall.exe"
  RMDir "$INSTDIR"
  Call un.RemoveFromPath
  DeleteRegKey HKCU "${UNINST_KEY}"
  DeleteRegKey HKCU "${STATE_KEY}"
SectionEnd
