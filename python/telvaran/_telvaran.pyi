"""Type stubs for telvaran._telvaran, the compiled module.

numpy and pyarrow are optional, so this stub imports neither: their arrays are
described by the protocols below, which numpy.ndarray and pyarrow's Array and
ChunkedArray satisfy structurally. A user without numpy or pyarrow installed
gets the same checks, and a value that is none of the accepted kinds (bytes
above all, which the module refuses) is rejected instead of matching an
unresolved import that would stand for Any.
"""

from array import array as _array
from collections.abc import Buffer, Callable, Iterator
from typing import Any, Generic, Protocol, SupportsFloat, SupportsIndex, TypeAlias, TypeVar, final, overload

__all__ = [
    "sum",
    "scale",
    "mean",
    "min",
    "max",
    "map",
    "map_inplace",
    "filter",
    "reduce",
    "var",
    "std",
    "median",
    "add",
    "multiply",
    "clip",
    "normalize",
    "reverse",
    "sort",
    "unique",
    "slice",
    "ArrayIterator",
    "array_iterator",
    "LazyArray",
    "lazy_array",
]

# -- accepted inputs ---------------------------------------------------------
# A numpy array is known by its dtype's scalar type: numpy's integer scalars
# have __index__, its float scalars as_integer_ratio, and neither has the
# other's, so numpy.typing.NDArray[numpy.int32] is an _IntArray and
# NDArray[numpy.float64] a _FloatArray, with no overlap between the two.

_Sc_co = TypeVar("_Sc_co", covariant=True)

class _IntScalar(Protocol):
    """A numpy integer scalar: item() gives an int."""

    def item(self) -> int: ...
    def __index__(self) -> int: ...

class _FloatScalar(Protocol):
    """A numpy float scalar: item() gives a float."""

    def item(self) -> float: ...
    def as_integer_ratio(self) -> tuple[int, int]: ...

class _DType(Protocol[_Sc_co]):
    """A numpy dtype, known by its scalar type."""

    @property
    def type(self) -> type[_Sc_co]: ...

class _NDArray(Buffer, Protocol[_Sc_co]):
    """A numpy.ndarray: a buffer with a dtype, a number of dimensions and flags."""

    @property
    def dtype(self) -> _DType[_Sc_co]: ...
    @property
    def ndim(self) -> int: ...
    @property
    def flags(self) -> Any: ...

_IntArray: TypeAlias = _NDArray[_IntScalar]
_FloatArray: TypeAlias = _NDArray[_FloatScalar]

# Arrow inputs. The Python type of their elements is in the Arrow type, which
# no static type tells, so what is read from them is typed int | float.

class _ArrowArray(Protocol):
    """A pyarrow.Array or pyarrow.ChunkedArray: typed values with a length."""

    @property
    def type(self) -> Any: ...
    @property
    def null_count(self) -> int: ...
    def __len__(self) -> int: ...
    def to_pylist(self) -> list[Any]: ...

class _ArrowBuffer(Buffer, Protocol):
    """A pyarrow.Buffer: untyped bytes at an address."""

    @property
    def address(self) -> int: ...
    @property
    def is_mutable(self) -> bool: ...
    def to_pybytes(self) -> bytes: ...

# The Arrow inputs that the reading operations accept.
_ArrowInput: TypeAlias = _ArrowArray

class _ArrowArrayExporter(Protocol):
    """Any object that exports one Arrow array (a nanoarrow or arro3 array)."""

    def __arrow_c_array__(self, requested_schema: object | None = None) -> tuple[object, object]: ...

class _ArrowStreamExporter(Protocol):
    """Any object that exports a stream of Arrow arrays (a polars or pandas Series)."""

    def __arrow_c_stream__(self, requested_schema: object | None = None) -> object: ...

# Arrow data from any other library, read like pyarrow's: its results are
# array.array objects of its element type.
_ArrowProducer: TypeAlias = _ArrowArrayExporter | _ArrowStreamExporter

# Arrays whose elements read as ints, or as floats: array.array[int] or a
# numpy array of an integer dtype; array.array[float] or one of a float dtype.
_Ints: TypeAlias = _array[int] | _IntArray
_Floats: TypeAlias = _array[float] | _FloatArray
# What the reading operations accept: array.array, a one-dimensional
# contiguous numpy.ndarray, a memoryview, an Arrow input.
_Readable: TypeAlias = _array[Any] | memoryview | _NDArray[Any] | _ArrowInput | _ArrowProducer
# The inputs whose element type no static type tells, for the overloads that
# follow the typed ones: a lambda argument is typed Any while the overloads
# are matched, and an input matching two of them would then give Any.
_Untyped: TypeAlias = memoryview | _ArrowInput | _ArrowProducer
# What the in-place operations accept: memory they may write (a memoryview
# must also be writable, which no type tells).
_Writable: TypeAlias = _array[Any] | memoryview | _NDArray[Any]
# slice gives a memoryview of the input's own memory, so it takes what a
# memoryview can be made of, pyarrow.Buffer included.
_Sliceable: TypeAlias = _array[Any] | memoryview | _NDArray[Any] | _ArrowBuffer

# The Python value of an element whose type no static type tells, as a
# callback's argument; as a result it is spelled int | float, so that
# messages show the types themselves.
_Value: TypeAlias = int | float
# What a callback may give back to be stored as an element.
_Storable: TypeAlias = SupportsIndex | SupportsFloat

_N = TypeVar("_N", int, float)
_ND = TypeVar("_ND", bound=_NDArray[Any])
_NDI = TypeVar("_NDI", bound=_IntArray)
_NDF = TypeVar("_NDF", bound=_FloatArray)
_S = TypeVar("_S", bound=_Readable)
_T = TypeVar("_T")
_V_co = TypeVar("_V_co", covariant=True)

_Number: TypeAlias = SupportsFloat | SupportsIndex
_Bound: TypeAlias = SupportsIndex | None

# -- aggregations and statistics -------------------------------------------
# A number of the elements' kind: an int from integer elements, a float from
# float ones.

@overload
def sum(array: _Ints) -> int: ...
@overload
def sum(array: _Floats) -> float: ...
@overload
def sum(array: _Readable) -> int | float: ...
def mean(array: _Readable) -> float: ...
@overload
def min(array: _Ints) -> int: ...
@overload
def min(array: _Floats) -> float: ...
@overload
def min(array: _Readable) -> int | float: ...
@overload
def max(array: _Ints) -> int: ...
@overload
def max(array: _Floats) -> float: ...
@overload
def max(array: _Readable) -> int | float: ...
def var(array: _Readable) -> float: ...
def std(array: _Readable) -> float: ...
@overload
def median(array: _Ints) -> int: ...
@overload
def median(array: _Floats) -> float: ...
@overload
def median(array: _Readable) -> int | float: ...

# -- new arrays: element-wise, unique, callbacks ------------------------------
# A numpy input gives a numpy.ndarray of its dtype, an array.array or
# memoryview input an array.array, an Arrow input what pyarrow.array(list)
# makes: a pyarrow.Array, from a ChunkedArray too. add and multiply give a
# numpy.ndarray only when both inputs are numpy arrays.

@overload
def add(arr1: _ND, arr2: _NDArray[Any]) -> _ND: ...  # type: ignore[overload-overlap]
@overload
def add(arr1: _array[_N], arr2: _Readable) -> _array[_N]: ...
@overload
def add(arr1: _Readable, arr2: _Readable) -> _array[Any]: ...
@overload
def multiply(arr1: _ND, arr2: _NDArray[Any]) -> _ND: ...  # type: ignore[overload-overlap]
@overload
def multiply(arr1: _array[_N], arr2: _Readable) -> _array[_N]: ...
@overload
def multiply(arr1: _Readable, arr2: _Readable) -> _array[Any]: ...
@overload
def unique(array: _array[_N]) -> _array[_N]: ...
@overload
def unique(array: memoryview) -> _array[Any]: ...
@overload
def unique(array: _ND) -> _ND: ...
@overload
def unique(array: _ArrowInput) -> _ArrowArray: ...
@overload
def unique(array: _ArrowProducer) -> _array[Any]: ...
# Callbacks that give elements back have one overload per element kind: a
# constrained type variable there lets some checkers widen an int array to a
# float one to fit a callback that returns floats. A numpy result takes any
# number, converted by numpy.
@overload
def map(array: _array[int], fn: Callable[[int], int]) -> _array[int]: ...
@overload
def map(array: _array[float], fn: Callable[[float], float]) -> _array[float]: ...
@overload
def map(array: _NDI, fn: Callable[[int], _Storable]) -> _NDI: ...
@overload
def map(array: _NDF, fn: Callable[[float], _Storable]) -> _NDF: ...
@overload
def map(array: memoryview, fn: Callable[[_Value], _Storable]) -> _array[Any]: ...
@overload
def map(array: _ArrowInput, fn: Callable[[_Value], Any]) -> _ArrowArray: ...
@overload
def map(array: _ArrowProducer, fn: Callable[[_Value], _Storable]) -> _array[Any]: ...
@overload
def filter(array: _array[_N], predicate: Callable[[_N], bool]) -> _array[_N]: ...
@overload
def filter(array: _NDI, predicate: Callable[[int], bool]) -> _NDI: ...
@overload
def filter(array: _NDF, predicate: Callable[[float], bool]) -> _NDF: ...
@overload
def filter(array: memoryview, predicate: Callable[[_Value], bool]) -> _array[Any]: ...
@overload
def filter(array: _ArrowInput, predicate: Callable[[_Value], bool]) -> _ArrowArray: ...
@overload
def filter(array: _ArrowProducer, predicate: Callable[[_Value], bool]) -> _array[Any]: ...

# -- folding -----------------------------------------------------------------
# Without initial the fold starts from the first element, so the accumulator
# holds element values; with it, the accumulator has initial's type, which is
# also what an empty array returns.

@overload
def reduce(array: _Ints, fn: Callable[[int, int], int], *, initial: None = None) -> int: ...
@overload
def reduce(array: _Floats, fn: Callable[[float, float], float], *, initial: None = None) -> float: ...
@overload
def reduce(array: _Ints, fn: Callable[[_T, int], _T], *, initial: _T) -> _T: ...
@overload
def reduce(array: _Floats, fn: Callable[[_T, float], _T], *, initial: _T) -> _T: ...
@overload
def reduce(array: _Untyped, fn: Callable[[_Value, _Value], _Value], *, initial: None = None) -> int | float: ...
@overload
def reduce(array: _Untyped, fn: Callable[[_T, _Value], _T], *, initial: _T) -> _T: ...

# -- in place ----------------------------------------------------------------

def scale(array: _Writable, factor: _Number) -> None: ...
def clip(array: _Writable, min_val: _Number, max_val: _Number) -> None: ...
def normalize(array: _Writable) -> None: ...
def sort(array: _Writable) -> None: ...
def reverse(array: _Writable) -> None: ...
# An integer numpy array takes what has __index__ (numpy's ints too).
@overload
def map_inplace(array: _array[int], fn: Callable[[int], int]) -> None: ...
@overload
def map_inplace(array: _array[float], fn: Callable[[float], float]) -> None: ...
@overload
def map_inplace(array: _IntArray, fn: Callable[[int], SupportsIndex]) -> None: ...
@overload
def map_inplace(array: _FloatArray, fn: Callable[[float], _Storable]) -> None: ...
@overload
def map_inplace(array: memoryview, fn: Callable[[_Value], _Storable]) -> None: ...

# -- zero-copy window ------------------------------------------------------------

def slice(array: _Sliceable, start: _Bound, end: _Bound) -> memoryview: ...

# -- classes -----------------------------------------------------------------

@final
class ArrayIterator(Iterator[_V_co]):
    @overload
    def __new__(cls, source: _Ints) -> ArrayIterator[int]: ...
    @overload
    def __new__(cls, source: _Floats) -> ArrayIterator[float]: ...
    @overload
    def __new__(cls, source: _Readable) -> ArrayIterator[int | float]: ...
    def __iter__(self) -> ArrayIterator[_V_co]: ...
    def __next__(self) -> _V_co: ...

@overload
def array_iterator(array: _Ints) -> ArrayIterator[int]: ...
@overload
def array_iterator(array: _Floats) -> ArrayIterator[float]: ...
@overload
def array_iterator(array: _Readable) -> ArrayIterator[int | float]: ...
@final
class LazyArray(Generic[_S]):
    """Lazy array wrapper for deferred evaluation."""

    def __new__(cls, source: _S) -> LazyArray[_S]: ...
    def map(self, function: Callable[[_Value], _Storable]) -> LazyArray[_S]:
        """Apply a map operation (returns new LazyArray)"""
    def filter(self, predicate: Callable[[_Value], bool]) -> LazyArray[_S]:
        """Apply a filter operation (returns new LazyArray)"""
    # A chain without steps gives its source back unchanged; otherwise the
    # result is what map and filter make from the source's kind.
    @overload
    def collect(self: LazyArray[_array[_N]]) -> _array[_N]: ...
    @overload
    def collect(self: LazyArray[memoryview]) -> memoryview | _array[Any]: ...
    @overload
    def collect(self: LazyArray[_ND]) -> _ND: ...
    @overload
    def collect(self: LazyArray[_ArrowArray]) -> _ArrowArray: ...
    def source(self) -> _S:
        """Get the source array"""
    def len(self) -> int:
        """Get the number of operations in the chain"""
    def __iter__(self) -> ArrayIterator[int | float]: ...

def lazy_array(array: _S) -> LazyArray[_S]: ...
