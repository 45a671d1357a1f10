/* A minimal host: checks the interface version it was compiled against. */
#include <stdio.h>

#include <dovrin_rtc_desktop.h>

int main(void) {
  DovrinRtcRuntime* handle = NULL;
  int32_t abi = dovrin_rtc_desktop_abi();
  /* No SDK path: creation must refuse without touching anything. */
  int32_t created = dovrin_rtc_desktop_create(NULL, NULL, NULL, NULL, &handle);
  printf("abi=%d create=%d\n", abi, created);
  return abi == DOVRIN_RTC_DESKTOP_ABI_VERSION && created == -1 && handle == NULL ? 0 : 1;
}
