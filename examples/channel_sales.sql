-- Sales from every channel in one shape, for the channel dashboard.
select w.order_id,
       w.customer_id,
       w.amount     as net_amount,
       w.placed_at  as sold_at
from   web.orders w
where  w.test_order = 0
union all
select s.receipt_no as order_id,
       s.loyalty_id as customer_id,
       s.total      as net_amount,
       s.rung_up_at as sold_at
from   pos.receipts s
union all
select m.order_ref,
       m.buyer_id,
       m.payout,
       m.created
from   (select order_ref, buyer_id, payout, created
        from   marketplace.orders) m;
