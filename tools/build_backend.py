"""scikit-build-core's build hooks; on Python 3.7 they also read the licence expression.

scikit-build-core reads `license = "MIT"` (an SPDX expression) from 0.11 on,
and 0.11 needs Python 3.8. Its last release for 3.7 reads only the older form,
free text in a table: there the same expression is passed on as that text.
"""
import sys

from scikit_build_core.build import *  # noqa: F401,F403

if sys.version_info < (3, 8):
    from scikit_build_core._vendor.pyproject_metadata import License, StandardMetadata

    def _license_as_text(fetcher, project_dir):
        return License(fetcher.get_str("project.license"), None)

    StandardMetadata._get_license = staticmethod(_license_as_text)
