// Fuzzes the readers of the two paged registry replies: a declaration search page (decoded from
// UTF-8 as the request worker does) and a page of the regulation dictionary (read from the bytes
// as the login step does). Either must read any body without a fault, and a body that is not the
// expected JSON must read as an empty page.
#include "fuzzinput.h"
#include "registryapi.h"

#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    const QByteArray bytes = fuzzBytes(data, size);

    const SearchPage search = readSearchPage(QString::fromUtf8(bytes));
    if (!search.parsed && (!search.items.isEmpty() || search.total != 0))
        std::abort();
    if (search.count() != search.items.size())
        std::abort();

    const RegulationPage regulations = readRegulationPage(bytes);
    if (!regulations.parsed && !regulations.items.isEmpty())
        std::abort();
    return 0;
}
