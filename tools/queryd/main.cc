#include <stdio.h>

#include <string>
#include <utility>

#include "tools/queryd/queryd.h"

int main(int argc, char** argv)
{
    queryd::options opts;
    std::string err;
    const int rc = queryd::parse_options(argc, argv, &opts, &err);
    if (rc == 1)
        return 0;
    if (rc < 0) {
        fprintf(stderr, "zel-queryd: %s\n", err.c_str());
        return 2;
    }
    return queryd::run_daemon(std::move(opts));
}
