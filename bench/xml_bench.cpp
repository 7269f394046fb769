// Parsing and writing back an XML document whose root holds n children,
// n = 10^3 ... 10^5: the time per size and the growth from the smallest to
// the largest, held to 150 (linear growth is 100).
#include "bench/bench_growth.h"
#include "support/c_xmldoc.h"
#include "support/c_xmlnode.h"

#include <cstdio>
#include <cstring>
#include <string>

namespace {

std::string document(int n)
{
    std::string text = "<?xml version=\"1.0\"?>\n<index version=\"1\">";
    for (int i = 0; i < n; i++)
        text += "<file name=\"member-" + std::to_string(i) +
                "\" digest=\"0123456789abcdef0123456789abcdef01234567\">text</file>";
    text += "</index>";
    return text;
}

}  // namespace

int main()
{
    const int sizes[] = {1000, 10000, 100000};
    double times[3];
    std::printf("%10s %12s %14s\n", "children", "parse+save", "per child");
    for (int k = 0; k < 3; k++) {
        const std::string text = document(sizes[k]);
        size_t out = 0;
        times[k] = bench_growth::best_of(5, [&] {
            c_xmldoc doc;
            if (!doc.parse_buffer(text.data(), text.size()))
                return false;
            out = doc.to_string(false).size();
            return out > 0;
        });
        if (times[k] < 0) {
            std::fprintf(stderr, "parse of %d children failed\n", sizes[k]);
            return 1;
        }
        std::printf("%10d %9.2f ms %11.0f ns\n", sizes[k], times[k] * 1e3,
                    times[k] * 1e9 / sizes[k]);
    }
    bool ok = bench_growth::report_ratio("xml parse+serialise, time(10^5)/time(10^3)",
                                         times[2] / times[0], 150);

    // Every attribute of one element read by index in order, as the
    // malfunction screen's language lookup reads a settings element.
    double walks[3];
    std::printf("%10s %12s %14s\n", "attributes", "index walk", "per attribute");
    for (int k = 0; k < 3; k++) {
        c_xmlnode element(nullptr, "entry");
        for (int i = 0; i < sizes[k]; i++)
            element.set_attribute(("a" + std::to_string(i)).c_str(), "v");
        size_t seen = 0;
        walks[k] = bench_growth::best_of(5, [&] {
            seen = 0;
            for (int i = 0; i < element.attribute_count(); i++)
                seen += std::strlen(element.attribute_name(unsigned(i))) +
                        std::strlen(element.attribute_value(unsigned(i)));
            return seen > 0;
        });
        std::printf("%10d %9.3f ms %11.0f ns\n", sizes[k], walks[k] * 1e3,
                    walks[k] * 1e9 / sizes[k]);
    }
    ok = bench_growth::report_ratio("attribute index walk, time(10^5)/time(10^3)",
                                    walks[2] / walks[0], 150) &&
         ok;
    return bench_growth::exit_status("xml_bench", ok);
}
