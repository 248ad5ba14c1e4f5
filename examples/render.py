#!/usr/bin/env python3
"""A Python host: renders documents through the quillet package and prints each page as it is ready.

    render.py OUTPUT_FOLDER DOCUMENT...

The office process started for the first office document stays running for the later ones.
"""
import sys

import quillet


def main(output, documents):
    failed = 0
    for document in documents:
        try:
            for page in quillet.render(document, dpi=100, format="png", output=output, time_limit=120):
                print(f"{document} page {page.number}: {page.path} {page.width}x{page.height} "
                      f"(orientation {page.orientation})", flush=True)
        except quillet.Error as error:
            print(f"{document}: failed at {error.stage}: {error.reason}", file=sys.stderr)
            failed = 1
    return failed


if __name__ == "__main__":
    if len(sys.argv) < 3:
        sys.exit(__doc__)
    sys.exit(main(sys.argv[1], sys.argv[2:]))
