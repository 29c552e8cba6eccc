"""The classes the stubs make generic can be subscripted at run time too, so
annotations such as `AsyncModelExecutor[User]` evaluate (no string needed)."""

import typing

import pytest

from Tessary.DB.Generator import SqlGenerator
from Tessary.Ext.Folio import KeysetFolio, Page, _Folio
from Tessary.Model.Carrack import AsyncModelExecutor, AsyncRowStream, BaseModelExecutor, ModelExecutor, RowStream
from Tessary.Model.DataModel import DataModel, InstanceList, ModelInstance
from Tessary.Model.ModelProperty import BaseProperty, IntegerProperty, VarcharProperty


class Account(DataModel):
    id = IntegerProperty(isPrimaryKey=True)
    owner = VarcharProperty(20)


@pytest.mark.parametrize("generic", [BaseModelExecutor, ModelExecutor, AsyncModelExecutor, RowStream,
                                     AsyncRowStream, ModelInstance, InstanceList, Page, _Folio, KeysetFolio, BaseProperty,
                                     IntegerProperty])
def test_subscripting_gives_an_alias_of_the_class(generic):
    alias = generic[Account]
    assert typing.get_origin(alias) is generic
    assert typing.get_args(alias) == (Account,)


def test_builder_is_subscripted_by_its_kind():
    assert typing.get_args(SqlGenerator[typing.Literal[True]]) == (typing.Literal[True],)


def test_annotations_naming_the_generic_types_evaluate():
    def newest(users: AsyncModelExecutor[Account], page: Page[Account]) -> InstanceList[Account]:
        raise NotImplementedError

    hints = typing.get_type_hints(newest)
    assert hints["users"] == AsyncModelExecutor[Account]
    assert hints["return"] == InstanceList[Account]
