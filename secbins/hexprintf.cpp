// Hex dump printer of the hardware client.
#include "secbins/kz4_secbins.h"

#include <cstdarg>
#include <cstdio>

int kz4_hexprintf(const char *format, ...)
{
    if (format == nullptr)
        return 0;
    va_list ap;
    va_start(ap, format);
    for (const char *p = format; *p; p++) {
        if (*p != '%') {
            putchar(*p);
            continue;
        }
        do
            p++;
        while (*p && *p != 'D' && *p != '%');
        if (*p == '\0')
            break;
        if (*p == '%')
            continue;
        const uint8_t *bytes = va_arg(ap, const uint8_t *);
        int length = va_arg(ap, int);
        for (int i = 0; bytes && i < length; i++) {
            if (i > 0)
                fputs(i % 16 == 0 ? "\n" : i % 8 == 0 ? "  " : " ", stdout);
            printf("%02X", bytes[i]);
        }
    }
    va_end(ap);
    return 0;
}
