"""Every documented error path raises its own exception and leaves the store
and the reducer exactly as they were: node count, outputs, serialized bytes,
DOT text, the node view, and the reducer's watermark and counters."""
import pytest
from reliability_cases import ERRORS, PANIC, World, run_case


@pytest.mark.parametrize("call, exc, message", [c[1:] for c in ERRORS], ids=[c[0] for c in ERRORS])
def test_refused_call_changes_nothing(call, exc, message):
    w = World()
    before = w.state()
    e = run_case(call, w, exc)
    assert str(e).startswith(message)
    if exc == PANIC:
        assert not isinstance(e, Exception)
    if exc is TypeError and message.startswith("argument '") and message.endswith(": "):
        # The argument prefix is followed by the conversion's own message.
        assert len(str(e)) > len(message)
    assert w.state() == before
    # Refusing once does not break the objects: the same calls still fail the
    # same way, and ordinary use goes on.
    assert type(run_case(call, w, exc)) is type(e)
    assert w.g.add_source("x") == 0 and w.g.node_count() == before[0]
    assert w.r.step(w.g) == w.n - before[5]
