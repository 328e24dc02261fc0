; SPDX-License-Identifier: GPL-3.0-or-later
; The Windows installer: the dist folder into Program Files, a Start-menu entry, an
; uninstaller, and a licence page: valdmora's own (GPL-3.0-or-later) and the index of the
; licences of everything shipped, whose texts are in the licences folder.
;   makensis -DVERSION=1.01 -DDIST=<dist folder> -DOUTFILE=<setup.exe> -DLICENCE=<text> valdmora.nsi
Unicode true
!include "MUI2.nsh"
!include "x64.nsh"

Name "valdmora ${VERSION}"
OutFile "${OUTFILE}"
InstallDir "$PROGRAMFILES64\valdmora"
InstallDirRegKey HKLM "Software\valdmora" "InstallDir"
RequestExecutionLevel admin
SetCompressor /SOLID lzma

!define MUI_ABORTWARNING
!insertmacro MUI_PAGE_WELCOME
!insertmacro MUI_PAGE_LICENSE "${LICENCE}"
!insertmacro MUI_PAGE_DIRECTORY
!insertmacro MUI_PAGE_INSTFILES
!define MUI_FINISHPAGE_RUN "$INSTDIR\valdmora.exe"
!insertmacro MUI_PAGE_FINISH
!insertmacro MUI_UNPAGE_CONFIRM
!insertmacro MUI_UNPAGE_INSTFILES
!insertmacro MUI_LANGUAGE "English"

!define UNINSTALL_KEY "Software\Microsoft\Windows\CurrentVersion\Uninstall\valdmora"

Section "valdmora"
  SetShellVarContext all
  SetRegView 64
  SetOutPath "$INSTDIR"
  File /r "${DIST}\*.*"
  WriteUninstaller "$INSTDIR\uninstall.exe"
  CreateDirectory "$SMPROGRAMS\valdmora"
  CreateShortcut "$SMPROGRAMS\valdmora\valdmora.lnk" "$INSTDIR\valdmora.exe"
  CreateShortcut "$SMPROGRAMS\valdmora\Uninstall valdmora.lnk" "$INSTDIR\uninstall.exe"
  WriteRegStr HKLM "Software\valdmora" "InstallDir" "$INSTDIR"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "DisplayName" "valdmora ${VERSION}"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "DisplayVersion" "${VERSION}"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "Publisher" "The valdmora developers"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "DisplayIcon" "$INSTDIR\valdmora.exe"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "UninstallString" '"$INSTDIR\uninstall.exe"'
  WriteRegDWORD HKLM "${UNINSTALL_KEY}" "NoModify" 1
  WriteRegDWORD HKLM "${UNINSTALL_KEY}" "NoRepair" 1
SectionEnd

Section "Uninstall"
  SetShellVarContext all
  SetRegView 64
  Delete "$SMPROGRAMS\valdmora\valdmora.lnk"
  Delete "$SMPROGRAMS\valdmora\Uninstall valdmora.lnk"
  RMDir "$SMPROGRAMS\valdmora"
  ; only what the installer put there: outputs the user wrote elsewhere stay
  RMDir /r "$INSTDIR\platforms"
  RMDir /r "$INSTDIR\styles"
  RMDir /r "$INSTDIR\examples"
  RMDir /r "$INSTDIR\licences"
  Delete "$INSTDIR\*.dll"
  Delete "$INSTDIR\valdmora.exe"
  Delete "$INSTDIR\valdmora-batch.exe"
  Delete "$INSTDIR\README-Windows.txt"
  Delete "$INSTDIR\uninstall.exe"
  RMDir "$INSTDIR"
  DeleteRegKey HKLM "${UNINSTALL_KEY}"
  DeleteRegKey HKLM "Software\valdmora"
SectionEnd
