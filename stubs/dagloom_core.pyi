# Type stubs for the dagloom_core extension module.
#
# Names that begin with an underscore exist only for type checkers: they
# describe the dicts the module takes and returns and cannot be imported at
# run time. Use them under `if typing.TYPE_CHECKING:` or in string annotations.

import sys
from collections.abc import Sequence
from typing import Literal, NotRequired, TypeAlias, TypedDict, TypeVar, final

# A parameter value. Exactly `bool` is kept as a bool; other integers that fit
# in 64 signed bits are ints, floats and larger integers are floats.
_ParamValue: TypeAlias = int | float | bool | str
# What `nodes()` gives back for a node's params: keys in sorted order.
_Params: TypeAlias = dict[str, _ParamValue]
# Accepted as `params=`: any dict whose values are parameter values, so that
# a `dict[str, int]` is taken as well as a `dict[str, int | str]`.
_ParamT = TypeVar("_ParamT", bound=_ParamValue)

_NodeKind: TypeAlias = Literal["source", "op", "reduction", "external", "stage", "exchange"]

class _DescriptorFields(TypedDict):
    """A payload descriptor given as a dict; keys beyond these are ignored."""

    kind: str
    content_hash: str
    framework: str
    version: str
    io_schema: str
    preprocessing_ref: NotRequired[str | None]

class _DescriptorInfo(TypedDict):
    """The descriptor of an external node, as `nodes()` shows it."""

    kind: str
    content_hash: str
    framework: str
    version: str
    io_schema: str
    preprocessing_ref: str | None

class _StageMember(TypedDict):
    """One member of a fused stage: ("input", i) reads the stage's inputs[i],
    ("member", j) the result of the stage's members[j]."""

    kind: Literal["op", "red"]
    name: str
    params: _Params
    inputs: list[tuple[Literal["input", "member"], int]]

class _NodeInfo(TypedDict):
    """One entry of `GraphStore.nodes()`, keys in this order."""

    id: int
    output: bool
    inputs: list[int]
    kind: _NodeKind
    name: str
    params: _Params
    # Only for kind "external":
    descriptor: NotRequired[_DescriptorInfo]
    # Only for kind "stage":
    n_members: NotRequired[int]
    members: NotRequired[list[_StageMember]]

class _ReductionReport(TypedDict):
    """The six counts of one reduction."""

    input_nodes: int
    reachable_nodes: int
    canonical_nodes: int
    stages: int
    reduced_nodes: int
    boundary_nodes: int

def version() -> str: ...
@final
class GraphStore:
    def __new__(cls) -> GraphStore: ...
    def add_source(self, name: str, params: dict[str, _ParamT] | None = None) -> int: ...
    def add_op(self, name: str, inputs: Sequence[int], params: dict[str, _ParamT] | None = None) -> int: ...
    def add_reduction(self, name: str, inputs: Sequence[int], params: dict[str, _ParamT] | None = None) -> int: ...
    def add_external(
        self,
        descriptor: PayloadDescriptor | _DescriptorFields,
        inputs: Sequence[int],
        params: dict[str, _ParamT] | None = None,
    ) -> int: ...
    def add_exchange(self, inputs: Sequence[int], params: dict[str, _ParamT] | None = None) -> int: ...
    def node_count(self) -> int: ...
    def to_dot(self) -> str: ...
    def serialize(self, outputs: Sequence[int] | None = None) -> bytes: ...
    @staticmethod
    def deserialize(data: bytes) -> GraphStore: ...
    def nodes(self) -> list[_NodeInfo]: ...
    def outputs(self) -> list[int]: ...
    def reduce(
        self, *, maximal_fusion: bool = False, outputs: Sequence[int] | None = None
    ) -> tuple[GraphStore, _ReductionReport]: ...
    def reduce_incremental(self, *, outputs: Sequence[int] | None = None) -> tuple[GraphStore, _ReductionReport]: ...
    def reduction_report(self, *, outputs: Sequence[int] | None = None) -> _ReductionReport: ...
    def reduce_traced(
        self, *, maximal_fusion: bool = False, outputs: Sequence[int] | None = None
    ) -> tuple[GraphStore, _ReductionReport, Origins]: ...

@final
class PayloadDescriptor:
    def __new__(
        cls,
        *,
        kind: str,
        content_hash: str,
        framework: str,
        version: str,
        io_schema: str,
        preprocessing_ref: str | None = None,
    ) -> PayloadDescriptor: ...
    @property
    def kind(self) -> str: ...
    @property
    def content_hash(self) -> str: ...
    @property
    def framework(self) -> str: ...
    @property
    def version(self) -> str: ...
    @property
    def io_schema(self) -> str: ...
    @property
    def preprocessing_ref(self) -> str | None: ...

@final
class IncrementalReducer:
    def __new__(cls) -> IncrementalReducer: ...
    def step(self, store: GraphStore) -> int: ...
    def finalize(
        self, store: GraphStore, *, maximal_fusion: bool = False, outputs: Sequence[int] | None = None
    ) -> tuple[GraphStore, _ReductionReport]: ...
    def watermark(self) -> int: ...
    def total_work(self) -> int: ...
    def canonical_count(self) -> int: ...
    def finalize_traced(
        self, store: GraphStore, *, maximal_fusion: bool = False, outputs: Sequence[int] | None = None
    ) -> tuple[GraphStore, _ReductionReport, Origins]: ...

@final
class Origins:
    """Made only by traced reductions. `node` and `member` are read-only
    memoryviews of format 'q' (int64), one entry per recorded node."""

    @property
    def outputs(self) -> list[int]: ...
    @property
    def node(self) -> memoryview: ...
    @property
    def member(self) -> memoryview: ...
    @property
    def input_nodes(self) -> int: ...
    if sys.version_info >= (3, 12):
        def __buffer__(self, flags: int, /) -> memoryview: ...
