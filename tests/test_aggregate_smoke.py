from array import array

import telvaran as tv


def test_sum_of_doubles():
    assert tv.sum(array("d", [1.0, 2.0, 3.0])) == 6.0


def test_sum_wraps_in_element_width():
    assert tv.sum(array("b", [100, 100])) == -56
