import pytest

import Talvik


@pytest.fixture
def find():
    return Talvik.parallel_find_matches
