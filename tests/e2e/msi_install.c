/* Installs, changes or repairs a package through the Windows Installer API, as msiexec would,
   with the property string passed on as it is: Wine's msiexec drops every quote from property
   values, so values with spaces and quotes cannot be tested through it.
   Usage: msi_install install PACKAGE [PROPERTIES]
          msi_install repair PRODUCT_CODE */
#include <windows.h>
/* after windows.h */
#include <msi.h>
#include <stdio.h>
#include <wchar.h>

int wmain(int argc, wchar_t **argv) {
  UINT rc;
  MsiSetInternalUI(INSTALLUILEVEL_NONE, NULL);
  if (argc >= 3 && argc <= 4 && wcscmp(argv[1], L"install") == 0) {
    rc = MsiInstallProductW(argv[2], argc == 4 ? argv[3] : L"");
  } else if (argc == 3 && wcscmp(argv[1], L"repair") == 0) {
    /* As msiexec /famus: every file again, and the machine's and the user's registry entries. */
    rc = MsiReinstallProductW(
        argv[2], REINSTALLMODE_FILEREPLACE | REINSTALLMODE_MACHINEDATA | REINSTALLMODE_USERDATA);
  } else {
    fputs("usage: msi_install install PACKAGE [PROPERTIES] | msi_install repair PRODUCT_CODE\n",
          stderr);
    return 2;
  }
  if (rc != ERROR_SUCCESS) fwprintf(stderr, L"msi_install %ls: error %u\n", argv[1], rc);
  return rc == ERROR_SUCCESS ? 0 : 1;
}
