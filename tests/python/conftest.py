import dagloom_core as dc
import pytest


def road_of_one_request():
    """x, y, add(x, y), add(y, x), mul of both adds, add-zero of mul, sum, unused neg(x)."""
    g = dc.GraphStore()
    x = g.add_source("x")
    y = g.add_source("y")
    a = g.add_op("add", [x, y])
    b = g.add_op("add", [y, x])
    m = g.add_op("mul", [a, b])
    z = g.add_op("add", [m], {"scalar": 0.0, "side": "r"})
    s = g.add_reduction("sum", [z])
    g.add_op("neg", [x])
    assert (x, y, a, b, m, z, s) == tuple(range(7))
    return g


@pytest.fixture
def road():
    return road_of_one_request()


def raises_panic(fn, *args, **kwargs):
    """Runs fn and returns the PanicException it raised (it is not a module attribute)."""
    try:
        fn(*args, **kwargs)
    except Exception as e:  # noqa: BLE001 - a panic must not be an Exception
        pytest.fail(f"expected PanicException, got {type(e).__name__}: {e}")
    except BaseException as e:
        assert type(e).__name__ == "PanicException"
        return e
    pytest.fail("expected PanicException, nothing was raised")
