/* A C host: renders one document through the C interface and prints each page as it is ready.
     render DOCUMENT OUTPUT_FOLDER [DPI]
   Build: cc render.c $(pkg-config --cflags --libs quillet) -o render */
#include <quillet/quillet_c.h>

#include <stdio.h>
#include <stdlib.h>

int main(int argc, char** argv)
{
    if (argc < 3 || argc > 4) {
        fprintf(stderr, "usage: %s DOCUMENT OUTPUT_FOLDER [DPI]\n", argv[0]);
        return 2;
    }
    quillet_service* service = NULL;
    if (quillet_create(argv[1], &service) != QUILLET_OK) {
        fprintf(stderr, "render: no service for %s\n", argv[1]);
        return 2;
    }
    quillet_set_text(service, QUILLET_OUTPUT_FOLDER, argv[2]);
    quillet_set(service, QUILLET_FORMAT, QUILLET_FORMAT_PNG16M);
    quillet_set(service, QUILLET_RESOLUTION, argc == 4 ? atoi(argv[3]) : 100);
    quillet_set(service, QUILLET_TIME_LIMIT, 120);

    int result = quillet_start(service);
    static quillet_page page; /* its path buffer is large */
    while (result == QUILLET_OK && (result = quillet_next_page(service, -1, &page)) == QUILLET_OK)
        printf("page %d: %s %dx%d (orientation %d)\n", page.number, page.path, page.width, page.height,
               page.orientation);
    if (result == QUILLET_END) {
        printf("%d pages, %d copies (quillet %s)\n", quillet_page_count(service), quillet_copies(service),
               quillet_version());
    } else {
        char reason[1024];
        quillet_failure(service, QUILLET_REASON, reason, sizeof reason);
        fprintf(stderr, "render: failed at stage %d: %s\n", quillet_failure_stage(service), reason);
    }
    quillet_release(service);
    return result == QUILLET_END ? 0 : 1;
}
