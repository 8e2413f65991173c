#include "vnLss/Seid.h"
#include "vnUtils/Exceptions.h"
#include "vnUtils/TextWriter.h"

namespace vorn {

void ThrowSeidSpaceOverflow() { throw CorruptLSSException(xstring("Serious error : Seid space overflow")); }

void FormatSeid(Seid s, char* buf)
{
    static const char kDigits[] = "0123456789abcdef";
    for (int i = 0; i < 8; ++i) {
        buf[i] = kDigits[(s.m_high >> (28 - 4 * i)) & 0xF];
        buf[9 + i] = kDigits[(s.m_low >> (28 - 4 * i)) & 0xF];
    }
    buf[8] = '.';
    buf[17] = 0;
}

xstring SeidToString(Seid s)
{
    char buf[18];
    FormatSeid(s, buf);
    return xstring(buf, buf + 17);
}

TextWriter& operator<<(TextWriter& w, Seid s)
{
    char buf[18];
    FormatSeid(s, buf);
    return w.Write(buf, 17);
}

} // namespace vorn
