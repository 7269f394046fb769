// The policy text of the policy benchmarks: n packages, each providing
// three tokens and defining one object whose requests name its own token
// and one of the package before it.
#pragma once

#include <string>

inline std::string synthetic_policy(int n)
{
    std::string text;
    for (int i = 0; i < n; i++) {
        std::string p = "package-" + std::to_string(i);
        text += "Package: " + p + "\nProvide: read write admin\nObject: service\n"
                "Policy: add inheritable\nRequest: admin";
        if (i > 0)
            text += " package-" + std::to_string(i - 1) + "::read";
        text += "\nKey: value of " + p + "\n\n";
    }
    return text;
}
