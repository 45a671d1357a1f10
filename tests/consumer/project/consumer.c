/* A minimal host: checks the interface version it was compiled against
 * and that the library it links is at least 5.1. */
#include <stdio.h>

#include <dovrin_rtc_desktop.h>

int main(void) {
  DovrinRtcRuntime* handle = NULL;
  int32_t abi = dovrin_rtc_desktop_abi();
  /* No SDK path: creation must refuse without touching anything. */
  int32_t created = dovrin_rtc_desktop_create(NULL, NULL, NULL, NULL, &handle);
  /* The 5.1 addition links and refuses a null handle. */
  uint32_t slot = 0;
  int32_t result = 0;
  int16_t pcm[480] = {0};
  int32_t many = dovrin_rtc_desktop_send_many(NULL, &slot, 1, pcm, 480, 48000, 0, &result);
  printf("abi=%d create=%d send_many=%d\n", abi, created, many);
  return abi == DOVRIN_RTC_DESKTOP_ABI_VERSION && created == -1 && handle == NULL && many == -1 ? 0 : 1;
}
