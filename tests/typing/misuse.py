"""Calls the stubs must reject; tools/check-types expects one error per line marked E."""

import vantle
from vantle import _lib

vantle.is_available("8000")  # E
vantle.is_available(8000.0)  # E
vantle.find_free("1")  # E
vantle.wait_until_free(1, timeout=1.5)  # E
vantle.scan(8000)  # E
vantle.kill(8000, force=1)  # E
vantle.get_info(8000)["pid"] + 1  # E

try:
    vantle.kill(8000)
except _lib.PanicException:  # E
    pass

vantle.listeners("8000")  # E
vantle.listeners(protocol="sctp")  # E
vantle.wait_until_listening(8000, address=0x7F000001)  # E
vantle.reserve(count="2")  # E
vantle.reserve().port = "8000"  # E
