/* The control of the DLL-planting test: a program that imports msi.dll the
   ordinary way (linked with -lmsi). Beside a planted msi.dll and with the
   search order of Windows, it loads the planted one; the test expects the
   marker from it, which shows the planting test could catch the fault.
   Prints the install state of the product code given as argv[1]. */
#include <windows.h>
#include <msi.h>
#include <stdio.h>

int wmain(int argc, wchar_t** argv) {
  const wchar_t* product = argc > 1 ? argv[1] : L"{00000000-0000-0000-0000-000000000000}";
  printf("state=%d\n", (int)MsiQueryProductStateW(product));
  return 0;
}
